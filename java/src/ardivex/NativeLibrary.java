package ardivex;

import java.io.File;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;

/**
 * Loads the native library "dactylink", once per class loader. Every class of
 * the toolkit that has native methods calls {@link #load()} when it is first
 * used; applications need not call it themselves, but may, to fail early.
 *
 * <p>Where the library comes from, in this order:
 * <ol>
 *   <li>{@code System.loadLibrary("dactylink")}: a library installed on
 *       {@code java.library.path} (on Windows also the {@code PATH}) always
 *       wins.</li>
 *   <li>The natives inside the jar: this platform's three files (the
 *       library, the reader plug-in {@code omr_tavoro_64} and the extraction
 *       engine {@code OmExtract}) are copied beside each other, because the
 *       library finds the plug-in and the engine in its own folder, into a
 *       per-user, per-version cache folder:
 *       {@code %LOCALAPPDATA%\dactylink\<version>\windows-x86_64-<id>} on
 *       Windows, {@code $XDG_CACHE_HOME/dactylink/<version>/linux-x86_64-<id>}
 *       (by default under {@code ~/.cache}) on Linux, where {@code <id>}
 *       names the exact files of the jar. When that folder cannot be used
 *       (a read-only home folder, for instance), a private folder in the
 *       temporary folder is used instead: {@code dactylink-<user>} in
 *       {@code java.io.tmpdir} (or {@code dactylink-<user>-1}, {@code -2}),
 *       taken only when it is a real folder (not a link) owned by the user
 *       and, on POSIX systems, with permissions 0700. When another user has
 *       taken all three names, a folder of a random name is made there for
 *       this user alone (one made by an earlier run is used again), and
 *       recorded in the system property {@value #PRIVATE_FOLDER_PROPERTY}
 *       so that every class loader of the process finds the same one.</li>
 * </ol>
 *
 * <p>The library loads the reader plug-ins it finds beside itself, so a
 * folder is used only when no one else can put a file there: every level
 * from the user's base folder (the home folder, {@code XDG_CACHE_HOME} or
 * {@code LOCALAPPDATA}) down to the folder of the files is a real folder,
 * not a link, owned by the user and not writable by its group or others (on
 * Windows: no entry of its access list lets anyone but the user and the
 * system's own accounts write there). Missing levels are made for the user
 * alone. A home folder that is not an absolute path ({@code user.home} is
 * "?" for a user without an account entry, in some containers) is not used,
 * nor is a folder on a file system mounted noexec; the error names the
 * reason for every place refused.
 *
 * <p>Every file is checked against the SHA-256 hash recorded in the jar when
 * it was built, right before the library is loaded from it. A missing,
 * half-written or altered file is replaced by a fresh copy that is written
 * beside it and then moved into place, so a file that another program has
 * loaded is never written over; several JVMs may start at once from an empty
 * cache. The system property {@value #EXTRACT_PROPERTY}{@code =false} turns
 * the second step off.
 *
 * <p>After loading, the library's own version must equal {@link
 * Version#get()}. JNI lets only one class loader of a process load a native
 * library: a second class loader that loads these classes gets an {@link
 * UnsatisfiedLinkError} saying so. When nothing can be loaded, the error
 * lists every place that was tried and why it failed.
 *
 * <p>Its methods may be called from any thread: they are synchronized, and
 * the library is loaded once however many threads ask at the same time.
 */
public final class NativeLibrary {
    /**
     * The system property that, set to {@code false}, keeps the natives
     * inside the jar from being used: only {@code System.loadLibrary} is
     * tried.
     */
    public static final String EXTRACT_PROPERTY = "dactylink.extract";

    /**
     * The system property in which the loader records the private temporary
     * folder of a random name that it chose, for the other class loaders of
     * the process. An application has no need to set it; a folder named
     * there is used only when it is the user's own, with permissions 0700.
     */
    public static final String PRIVATE_FOLDER_PROPERTY = "dactylink.private.folder";

    static final String NAME = "dactylink";
    private static final String OTHER_LOADER = "already loaded in another classloader";

    private static boolean loaded;
    private static String location;
    private static String nativeVersion;

    private NativeLibrary() {
    }

    /**
     * Loads the native library if this class loader has not loaded it yet;
     * later calls return at once.
     *
     * @throws UnsatisfiedLinkError when no copy of the library can be loaded
     *         (the message lists every place tried), when another class loader
     *         of this JVM has loaded it already, or when the loaded library's
     *         version is not this jar's
     */
    public static synchronized void load() {
        if (loaded) {
            return;
        }
        List<String> tried = new ArrayList<>();
        String from;
        try {
            System.loadLibrary(NAME);
            from = installedLocation();
        } catch (UnsatisfiedLinkError e) {
            checkNotOtherLoader(e, "java.library.path");
            tried.add("System.loadLibrary(\"" + NAME + "\") with java.library.path="
                    + System.getProperty("java.library.path") + ": " + e.getMessage());
            from = extractAndLoad(tried, e);
        }
        String version = versionOfLoaded();
        if (!Version.get().equals(version)) {
            throw new UnsatisfiedLinkError("The native library " + NAME + " loaded from " + from + " is "
                    + (version == null ? "older than its version query" : "version " + version)
                    + ", but the dactylink classes are version " + Version.get() + ". Remove or update that "
                    + "library (or take its folder off java.library.path) so that the natives of the jar are used.");
        }
        location = from;
        nativeVersion = version;
        loaded = true;
    }

    /**
     * Where the native library was loaded from, loading it first if needed.
     *
     * @return the path of the library file, or, for a library found by
     *         {@code System.loadLibrary}, a description naming
     *         {@code java.library.path} and the file found there, if any
     * @throws UnsatisfiedLinkError when the library cannot be loaded, as for
     *         {@link #load()}
     */
    public static synchronized String getLocation() {
        load();
        return location;
    }

    /**
     * The version that the loaded native library reports, loading it first
     * if needed.
     *
     * @return the native library's version, equal to {@link Version#get()}
     * @throws UnsatisfiedLinkError when the library cannot be loaded, as for
     *         {@link #load()}
     */
    public static synchronized String getVersion() {
        load();
        return nativeVersion;
    }

    private static native String innerGetVersion();

    private static String versionOfLoaded() {
        try {
            return innerGetVersion();
        } catch (UnsatisfiedLinkError e) {
            return null; // a library built before the version query existed
        }
    }

    // System.loadLibrary does not say which file it took; name the first
    // match on java.library.path, which is where it looks first.
    private static String installedLocation() {
        String file = System.mapLibraryName(NAME);
        String path = System.getProperty("java.library.path", "");
        for (String dir : path.split(File.pathSeparator)) {
            if (!dir.isEmpty() && new File(dir, file).isFile()) {
                return new File(dir, file).getAbsolutePath() + " (java.library.path)";
            }
        }
        return "the system's library search path (System.loadLibrary)";
    }

    private static void checkNotOtherLoader(UnsatisfiedLinkError e, String where) {
        String m = e.getMessage();
        if (m != null && m.contains(OTHER_LOADER)) {
            UnsatisfiedLinkError clear = new UnsatisfiedLinkError("The native library " + NAME
                    + " is already loaded in this JVM by another class loader (" + where + ": " + m
                    + "). JNI lets only one class loader of a process load a native library: load the dactylink "
                    + "classes from one class loader that every user of them shares (for example the "
                    + "application's class path, or a server's common library folder).");
            clear.initCause(e);
            throw clear;
        }
    }

    private static String extractAndLoad(List<String> tried, UnsatisfiedLinkError first) {
        String extract = System.getProperty(EXTRACT_PROPERTY, "true");
        if ("false".equalsIgnoreCase(extract.trim())) {
            tried.add("the natives in the jar: not used, " + EXTRACT_PROPERTY + "=" + extract);
            throw notLoaded(tried, first);
        }
        NativeFiles files;
        try {
            files = NativeFiles.ofThisPlatform();
        } catch (IOException e) {
            tried.add("the natives in the jar: " + e.getMessage());
            throw notLoaded(tried, first);
        }
        if (files == null) {
            tried.add("the natives in the jar: none for " + NativeFiles.platform() + " (the jar carries "
                    + "windows-x86_64 and linux-x86_64)");
            throw notLoaded(tried, first);
        }
        UnsatisfiedLinkError last = first;
        for (NativeFiles.Folder folder : files.folders()) {
            String lib;
            try {
                lib = files.install(folder);
            } catch (IOException | RuntimeException e) {
                tried.add(folder.describe() + ": " + e.getMessage());
                continue;
            }
            try {
                System.load(lib);
                return lib;
            } catch (UnsatisfiedLinkError e) {
                checkNotOtherLoader(e, lib);
                tried.add(lib + ": " + e.getMessage());
                last = e;
            }
        }
        throw notLoaded(tried, last);
    }

    private static UnsatisfiedLinkError notLoaded(List<String> tried, UnsatisfiedLinkError cause) {
        StringBuilder b = new StringBuilder("The native library " + NAME + " " + Version.get()
                + " could not be loaded. Places tried:");
        for (String t : tried) {
            b.append(System.lineSeparator()).append("  - ").append(t);
        }
        UnsatisfiedLinkError e = new UnsatisfiedLinkError(b.toString());
        e.initCause(cause);
        return e;
    }
}
