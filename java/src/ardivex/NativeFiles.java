package ardivex;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.FileTime;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * This platform's natives inside the jar (resources under
 * "ardivex/native/<platform>/", listed with their SHA-256 hashes in
 * "SHA256SUMS" when the jar was built) and the folders they are copied to.
 */
final class NativeFiles {
    static final String RESOURCE_ROOT = "/ardivex/native/";
    static final String SUMS = "SHA256SUMS";
    // Names of fallback folders tried in the temporary folder, in this order,
    // so that every class loader of a process settles on the same one.
    private static final int TEMP_FOLDER_NAMES = 3;
    static final String PRIVATE_PROPERTY = NativeLibrary.PRIVATE_FOLDER_PROPERTY;
    // Private folders of earlier runs looked at before a new one is made.
    private static final int PRIVATE_FOLDERS_LOOKED_AT = 64;
    // Copies left half-written by a JVM that died are removed after this long.
    private static final long STALE_PART_MILLIS = TimeUnit.HOURS.toMillis(1);

    private final String platform;
    private final Map<String, String> sha256 = new LinkedHashMap<>();
    private final String id;

    private NativeFiles(String platform, String sums) throws IOException {
        this.platform = platform;
        for (String line : sums.split("\n")) {
            line = line.trim();
            if (line.isEmpty()) {
                continue;
            }
            // sha256sum format: 64 hex digits, two spaces (or space and '*'), the name.
            if (line.length() < 67 || !line.substring(0, 64).matches("[0-9a-f]{64}")
                    || line.substring(66).contains("/")) {
                throw new IOException("malformed line in " + RESOURCE_ROOT + platform + "/" + SUMS + ": " + line);
            }
            sha256.put(line.substring(66), line.substring(0, 64));
        }
        if (!sha256.containsKey(System.mapLibraryName(NativeLibrary.NAME))) {
            throw new IOException(RESOURCE_ROOT + platform + "/" + SUMS + " does not list "
                    + System.mapLibraryName(NativeLibrary.NAME));
        }
        id = hex(digest(sums.getBytes(StandardCharsets.UTF_8))).substring(0, 8);
    }

    /** The natives for this platform, or null when the jar has none. */
    static NativeFiles ofThisPlatform() throws IOException {
        String platform = platform();
        try (InputStream in = NativeFiles.class.getResourceAsStream(RESOURCE_ROOT + platform + "/" + SUMS)) {
            if (in == null) {
                return null;
            }
            return new NativeFiles(platform, new String(in.readAllBytes(), StandardCharsets.UTF_8));
        }
    }

    /** "windows-x86_64", "linux-x86_64", or the like for other systems. */
    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        String o = os.startsWith("windows") ? "windows" : os.startsWith("linux") ? "linux" : os.replace(' ', '-');
        String a = arch.equals("amd64") || arch.equals("x86_64") ? "x86_64" : arch;
        return o + "-" + a;
    }

    /** A folder the natives may be copied to, and how to make it ready. */
    interface Folder {
        Path prepare() throws IOException;

        String describe();
    }

    /**
     * The folders to try, in order: the per-user cache, then private
     * temporary folders. A private folder of a random name, made when every
     * fixed name is taken, is recorded in {@value #PRIVATE_PROPERTY}: a
     * second class loader of this process tries it first, so that it meets
     * the copy already loaded instead of loading another.
     */
    List<Folder> folders() {
        String sub = Version.get() + "/" + platform + "-" + id;
        List<Folder> list = new ArrayList<>();
        Path tmp = absolute(System.getProperty("java.io.tmpdir"));
        String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
        String flat = sub.replace('/', '-');
        String recorded = System.getProperty(PRIVATE_PROPERTY);
        if (recorded != null) {
            list.add(folder("private temporary folder " + recorded + " (" + PRIVATE_PROPERTY + ")", () -> {
                FolderTrust t = trust(tmp);
                return inside(t, checkedPrivate(t, absolute(recorded), recorded), flat);
            }));
        }
        CacheBase cache = cacheBase();
        if (cache.base == null) {
            list.add(folder("cache folder", () -> {
                throw new IOException(cache.why);
            }));
        } else {
            List<String> below = new ArrayList<>(cache.below);
            below.add("dactylink");
            below.addAll(List.of(sub.split("/")));
            Path dir = cache.base;
            for (String name : below) {
                dir = dir.resolve(name);
            }
            list.add(folder("cache folder " + dir, () -> {
                refuseNoexec(cache.base);
                return trust(tmp, cache.base).walk(cache.base, below);
            }));
        }
        if (tmp == null) {
            return list;
        }
        // No folder is made where nothing could be loaded from it.
        if (FolderTrust.noexecMount(tmp) != null) {
            list.add(folder("temporary folder " + tmp, () -> {
                refuseNoexec(tmp);
                return tmp;
            }));
            return list;
        }
        for (int n = 0; n < TEMP_FOLDER_NAMES; n++) {
            Path top = tmp.resolve("dactylink-" + user + (n == 0 ? "" : "-" + n));
            list.add(folder("temporary folder " + top, () -> {
                FolderTrust t = trust(tmp);
                return inside(t, privateFolder(t, top), flat);
            }));
        }
        if (recorded == null) {
            list.add(folder("private temporary folder in " + tmp, () -> {
                FolderTrust t = trust(tmp);
                return inside(t, recordedPrivateFolder(t, tmp, "dactylink-" + user + "-p"), flat);
            }));
        }
        return list;
    }

    private interface Preparation {
        Path run() throws IOException;
    }

    private static Folder folder(String description, Preparation preparation) {
        return new Folder() {
            @Override
            public Path prepare() throws IOException {
                return preparation.run();
            }

            @Override
            public String describe() {
                return description;
            }
        };
    }

    private static FolderTrust trust(Path... probeFolders) throws IOException {
        return FolderTrust.forThisUser(probeFolders);
    }

    private static void refuseNoexec(Path dir) throws IOException {
        String noexec = FolderTrust.noexecMount(dir);
        if (noexec != null) {
            throw new IOException(dir + " lies on " + noexec + ", a file system mounted noexec: the system loads "
                    + "no library from there");
        }
    }

    private static Path inside(FolderTrust t, Path top, String name) throws IOException {
        Path dir = top.resolve(name);
        t.makeFolder(dir);
        t.check(dir);
        return dir;
    }

    /** Where the cache lies: a base folder of the user's and the levels below it, or why there is none. */
    static final class CacheBase {
        final Path base;
        final List<String> below;
        final String why;

        CacheBase(Path base, List<String> below, String why) {
            this.base = base;
            this.below = below;
            this.why = why;
        }
    }

    static CacheBase cacheBase() {
        return cacheBase(System.getProperty("user.home"), System.getenv("XDG_CACHE_HOME"),
                System.getenv("LOCALAPPDATA"), platform().startsWith("windows"));
    }

    // A relative or unusable home (user.home is "?" for a user without a
    // passwd entry) would put the cache under the working folder, where
    // anyone may have prepared it: it is not used.
    static CacheBase cacheBase(String home, String xdgCacheHome, String localAppData, boolean windows) {
        Path homePath = absolute(home);
        String noHome = "user.home is " + (home == null ? "not set" : "\"" + home + "\", not an absolute path")
                + ", not used";
        if (windows) {
            Path local = absolute(localAppData);
            if (local != null) {
                return new CacheBase(local, List.of(), null);
            }
            return homePath == null ? new CacheBase(null, null, "LOCALAPPDATA is not set and " + noHome)
                    : new CacheBase(homePath, List.of("AppData", "Local"), null);
        }
        Path xdg = absolute(xdgCacheHome);
        if (xdg != null) {
            return new CacheBase(xdg, List.of(), null);
        }
        return homePath == null ? new CacheBase(null, null, noHome) : new CacheBase(homePath, List.of(".cache"), null);
    }

    /** The path, when it names an absolute one; null for null, empty, relative or malformed text. */
    static Path absolute(String path) {
        if (path == null || path.isEmpty()) {
            return null;
        }
        try {
            Path p = Paths.get(path);
            return p.isAbsolute() ? p : null;
        } catch (InvalidPathException e) {
            return null;
        }
    }

    /**
     * Creates {@code top} for this user alone, or accepts it when it already
     * is: a folder, not a link, owned by whoever owns the files this process
     * creates, and (on POSIX) with permissions 0700.
     */
    static Path privateFolder(FolderTrust t, Path top) throws IOException {
        t.makeFolder(top);
        return checkedPrivate(t, top, top.toString());
    }

    private static Path checkedPrivate(FolderTrust t, Path top, String given) throws IOException {
        if (top == null) {
            throw new IOException(given + " is not an absolute path, not used");
        }
        try {
            t.checkPrivate(top);
        } catch (IOException e) {
            // The messages name the folder; the list of places tried names it already.
            String m = String.valueOf(e.getMessage());
            throw new IOException(m.startsWith(top + " ") ? m.substring(top.toString().length() + 1) : m, e);
        }
        return top;
    }

    /**
     * A private folder of a name no one could have taken before: one this
     * user made in an earlier run (a folder of this user with permissions
     * 0700 cannot be another's), or a new one. Chosen once per process and
     * recorded in {@link #PRIVATE_PROPERTY}; the choice is atomic across
     * class loaders, since they share the system properties.
     */
    static Path recordedPrivateFolder(FolderTrust t, Path tmp, String prefix) throws IOException {
        Object chosen;
        try {
            chosen = System.getProperties().computeIfAbsent(PRIVATE_PROPERTY, k -> {
                try {
                    return findOrMakePrivate(t, tmp, prefix).toString();
                } catch (IOException e) {
                    throw new UncheckedIOException(e);
                }
            });
        } catch (UncheckedIOException e) {
            throw e.getCause();
        }
        return checkedPrivate(t, absolute(String.valueOf(chosen)), String.valueOf(chosen));
    }

    private static Path findOrMakePrivate(FolderTrust t, Path tmp, String prefix) throws IOException {
        List<Path> earlier = new ArrayList<>();
        try (DirectoryStream<Path> s = Files.newDirectoryStream(tmp, prefix + "*")) {
            for (Path p : s) {
                earlier.add(p);
                if (earlier.size() == PRIVATE_FOLDERS_LOOKED_AT) {
                    break;
                }
            }
        }
        Collections.sort(earlier);
        for (Path p : earlier) {
            try {
                t.checkPrivate(p);
                return p;
            } catch (IOException e) {
                // another user's, or not private: not ours to use
            }
        }
        return t.makeRandomFolder(tmp, prefix);
    }

    /**
     * Puts every native file into the folder, checked against its hash, and
     * returns the path of the library to load. The hashes are checked once
     * more, on the files as they lie there, right before returning.
     */
    String install(Folder folder) throws IOException {
        Path dir = folder.prepare();
        refuseNoexec(dir);
        removeStaleParts(dir);
        for (Map.Entry<String, String> e : sha256.entrySet()) {
            put(dir, e.getKey(), e.getValue());
        }
        for (Map.Entry<String, String> e : sha256.entrySet()) {
            Path f = dir.resolve(e.getKey());
            if (!matches(f, e.getValue())) {
                throw new IOException(f + " changed while it was being checked");
            }
        }
        return dir.resolve(System.mapLibraryName(NativeLibrary.NAME)).toAbsolutePath().toString();
    }

    private void put(Path dir, String name, String hash) throws IOException {
        Path target = dir.resolve(name);
        if (matches(target, hash)) {
            return;
        }
        // Missing, half-written or altered. The fresh copy goes beside it
        // under a name of its own and is then moved over it in one step: a
        // process that has the old file loaded keeps its copy (POSIX), or the
        // move fails (Windows); the file itself is never written to.
        Path part = Files.createTempFile(dir, name + ".", ".part");
        try {
            try (InputStream in = NativeFiles.class.getResourceAsStream(RESOURCE_ROOT + platform + "/" + name)) {
                if (in == null) {
                    throw new IOException("the jar lists " + name + " but does not contain it");
                }
                try (OutputStream out = Files.newOutputStream(part)) {
                    in.transferTo(out);
                }
            }
            if (!matches(part, hash)) {
                throw new IOException("the jar's copy of " + name + " does not match its recorded hash");
            }
            try {
                Files.move(part, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Another JVM may have just put the same file there, or holds
                // it loaded; either way a good file can be used as it is.
                if (!matches(target, hash)) {
                    throw new IOException("cannot replace " + target + " (" + e + ")", e);
                }
            }
        } finally {
            Files.deleteIfExists(part);
        }
    }

    private static void removeStaleParts(Path dir) {
        long limit = System.currentTimeMillis() - STALE_PART_MILLIS;
        try (Stream<Path> s = Files.list(dir)) {
            s.filter(p -> p.getFileName().toString().endsWith(".part")).forEach(p -> {
                try {
                    FileTime t = Files.getLastModifiedTime(p, LinkOption.NOFOLLOW_LINKS);
                    if (t.toMillis() < limit) {
                        Files.deleteIfExists(p);
                    }
                } catch (IOException e) {
                    // another JVM removed or holds it; not ours to worry about
                }
            });
        } catch (IOException e) {
            // leftovers only cost space
        }
    }

    // A link is no match: it is replaced by a real file, so that what is
    // checked is what gets loaded.
    private static boolean matches(Path file, String hash) throws IOException {
        if (!Files.isRegularFile(file, LinkOption.NOFOLLOW_LINKS)) {
            return false;
        }
        MessageDigest md = sha256();
        byte[] buf = new byte[64 * 1024];
        try (InputStream in = Files.newInputStream(file)) {
            for (int n; (n = in.read(buf)) > 0;) {
                md.update(buf, 0, n);
            }
        }
        return hex(md.digest()).equals(hash);
    }

    private static MessageDigest sha256() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java runtime has SHA-256", e);
        }
    }

    private static byte[] digest(byte[] data) {
        return sha256().digest(data);
    }

    private static String hex(byte[] b) {
        StringBuilder s = new StringBuilder(b.length * 2);
        for (byte x : b) {
            s.append(Character.forDigit((x >> 4) & 0xF, 16)).append(Character.forDigit(x & 0xF, 16));
        }
        return s.toString();
    }
}
