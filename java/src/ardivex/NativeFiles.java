package ardivex;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileTime;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
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

    /** The folders to try, in order: the per-user cache, then private temporary folders. */
    List<Folder> folders() {
        String sub = Version.get() + "/" + platform + "-" + id;
        List<Folder> list = new ArrayList<>();
        Path cache = userCache();
        if (cache != null) {
            Path dir = cache.resolve("dactylink").resolve(sub);
            list.add(new Folder() {
                @Override
                public Path prepare() throws IOException {
                    return Files.createDirectories(dir);
                }

                @Override
                public String describe() {
                    return "cache folder " + dir;
                }
            });
        }
        String tmp = System.getProperty("java.io.tmpdir");
        if (tmp != null && !tmp.isEmpty()) {
            String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
            for (int n = 0; n < TEMP_FOLDER_NAMES; n++) {
                Path top = Paths.get(tmp).toAbsolutePath().resolve("dactylink-" + user + (n == 0 ? "" : "-" + n));
                list.add(new Folder() {
                    @Override
                    public Path prepare() throws IOException {
                        return privateFolder(top).resolve(sub.replace('/', '-'));
                    }

                    @Override
                    public String describe() {
                        return "temporary folder " + top;
                    }
                });
            }
        }
        return list;
    }

    private static Path userCache() {
        String home = System.getProperty("user.home");
        if (platform().startsWith("windows")) {
            String local = System.getenv("LOCALAPPDATA");
            if (local != null && !local.isEmpty()) {
                return Paths.get(local);
            }
            return home == null || home.isEmpty() ? null : Paths.get(home, "AppData", "Local");
        }
        String xdg = System.getenv("XDG_CACHE_HOME");
        if (xdg != null && xdg.startsWith("/")) {
            return Paths.get(xdg);
        }
        return home == null || home.isEmpty() ? null : Paths.get(home, ".cache");
    }

    private static final Set<PosixFilePermission> OWNER_ONLY = EnumSet.of(PosixFilePermission.OWNER_READ,
            PosixFilePermission.OWNER_WRITE, PosixFilePermission.OWNER_EXECUTE);

    /**
     * Creates {@code top} for this user alone, or accepts it when it already
     * is: a folder, not a link, owned by whoever owns the files this process
     * creates, and (on POSIX) with permissions 0700. Returns the folder for
     * this jar's natives inside it, created as well.
     */
    static Path privateFolder(Path top) throws IOException {
        boolean posix = top.getFileSystem().supportedFileAttributeViews().contains("posix");
        try {
            if (posix) {
                Files.createDirectory(top, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
            } else {
                Files.createDirectory(top);
            }
        } catch (FileAlreadyExistsException e) {
            // checked below like a new one
        }
        BasicFileAttributes a = Files.readAttributes(top, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        if (a.isSymbolicLink() || a.isOther()) {
            throw new IOException("is a link, not used");
        }
        if (!a.isDirectory()) {
            throw new IOException("is not a folder, not used");
        }
        UserPrincipal owner = Files.getOwner(top, LinkOption.NOFOLLOW_LINKS);
        UserPrincipal self = ownerOfNewFiles(top.getParent());
        if (!owner.equals(self)) {
            throw new IOException("belongs to " + owner.getName() + ", not to " + self.getName() + ", not used");
        }
        if (posix) {
            Set<PosixFilePermission> p = Files.getPosixFilePermissions(top, LinkOption.NOFOLLOW_LINKS);
            if (!p.equals(OWNER_ONLY)) {
                throw new IOException("has permissions " + PosixFilePermissions.toString(p)
                        + " instead of rwx------, not used");
            }
        }
        return top;
    }

    // The principal that owns what this process creates (on Windows an
    // elevated process's files belong to the Administrators group, not to
    // the user).
    private static UserPrincipal ownerOfNewFiles(Path dir) throws IOException {
        Path probe = Files.createTempFile(dir, "dactylink-owner", ".tmp");
        try {
            return Files.getOwner(probe, LinkOption.NOFOLLOW_LINKS);
        } finally {
            Files.deleteIfExists(probe);
        }
    }

    /**
     * Puts every native file into the folder, checked against its hash, and
     * returns the path of the library to load. The hashes are checked once
     * more, on the files as they lie there, right before returning.
     */
    String install(Folder folder) throws IOException {
        Path dir = folder.prepare();
        Files.createDirectories(dir);
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
