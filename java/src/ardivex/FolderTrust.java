package ardivex;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.HashSet;
import java.util.List;
import java.util.Set;

/**
 * Whether a folder may hold the natives: the library loads every reader
 * plug-in it finds beside itself, so whoever can put a file into the folder,
 * or swap the folder for another, can run code in the application. A folder
 * is trusted when it is a real folder (not a link), belongs to this user and
 * no one else may write in it: on POSIX systems neither its group nor others
 * have write permission; on Windows no entry of its access list lets anyone
 * but this user, or the system's own accounts, write, delete or change
 * permissions there. Each level from the user's base folder down is
 * checked, and made (for this user alone) where it is missing.
 */
final class FolderTrust {
    private static final Set<PosixFilePermission> OWNER_ONLY = EnumSet.of(PosixFilePermission.OWNER_READ,
            PosixFilePermission.OWNER_WRITE, PosixFilePermission.OWNER_EXECUTE);
    // What lets someone plant a file in a folder or take it over.
    private static final Set<AclEntryPermission> WRITING = EnumSet.of(AclEntryPermission.WRITE_DATA,
            AclEntryPermission.APPEND_DATA, AclEntryPermission.DELETE_CHILD, AclEntryPermission.DELETE,
            AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER);

    private final boolean posix;
    private final Set<UserPrincipal> self = new HashSet<>();
    private final Set<UserPrincipal> system = new HashSet<>();

    private FolderTrust(boolean posix) {
        this.posix = posix;
    }

    /**
     * The checks for this user, who is whoever owns the files this process
     * creates (found with a file made and removed at once in the first of
     * {@code probeFolders} that takes one).
     *
     * @throws IOException when no probe file can be made
     */
    static FolderTrust forThisUser(Path... probeFolders) throws IOException {
        Path first = null;
        for (Path p : probeFolders) {
            if (p != null) {
                first = p;
                break;
            }
        }
        if (first == null) {
            throw new IOException("no folder to find this user's files in");
        }
        FolderTrust t = new FolderTrust(first.getFileSystem().supportedFileAttributeViews().contains("posix"));
        IOException last = null;
        for (Path dir : probeFolders) {
            if (dir == null) {
                continue;
            }
            try {
                t.self.add(ownerOfNewFiles(dir));
                last = null;
                break;
            } catch (IOException e) {
                last = e;
            }
        }
        if (last != null) {
            throw new IOException("cannot tell who this user is: no file can be made in "
                    + Arrays.toString(probeFolders) + " (" + last.getMessage() + ")", last);
        }
        if (!t.posix) {
            t.windowsPrincipals(first);
        }
        return t;
    }

    // On Windows an elevated process's new files may belong to the
    // Administrators group, and the user's folders to the user: both are
    // this user. The system's own accounts (those that may write in the
    // Windows folder: SYSTEM, Administrators, TrustedInstaller) may write
    // everywhere anyway; their names depend on the language of the system,
    // so they are taken from that folder's access list.
    private void windowsPrincipals(Path any) {
        String name = System.getProperty("user.name");
        if (name != null && !name.isEmpty()) {
            try {
                self.add(any.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(name));
            } catch (IOException | RuntimeException e) {
                // the owner of new files stands for the user alone
            }
        }
        String root = System.getenv("SystemRoot");
        if (root == null || root.isEmpty()) {
            return;
        }
        try {
            AclFileAttributeView v = Files.getFileAttributeView(Paths.get(root), AclFileAttributeView.class);
            if (v == null) {
                return;
            }
            for (AclEntry e : v.getAcl()) {
                if (e.type() == AclEntryType.ALLOW && e.permissions().contains(AclEntryPermission.WRITE_DATA)) {
                    system.add(e.principal());
                }
            }
        } catch (IOException | RuntimeException e) {
            // then only the user's own entries are accepted: stricter, never looser
        }
    }

    /**
     * Makes each missing level below {@code base} for this user alone and
     * checks every level, {@code base} included.
     *
     * @return the deepest level
     * @throws IOException naming the first level that cannot be trusted, and why
     */
    Path walk(Path base, List<String> below) throws IOException {
        Path p = base;
        check(p);
        for (String name : below) {
            p = p.resolve(name);
            makeFolder(p);
            check(p);
        }
        return p;
    }

    /** Makes the folder for this user alone unless something is there already. */
    void makeFolder(Path p) throws IOException {
        if (Files.exists(p, LinkOption.NOFOLLOW_LINKS)) {
            return;
        }
        try {
            if (posix) {
                Files.createDirectory(p, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
            } else {
                Files.createDirectory(p);
            }
        } catch (FileAlreadyExistsException e) {
            // made meanwhile, by another JVM or by someone else: checked like any level
        }
    }

    /** Makes a folder of a new random name in {@code dir}, for this user alone. */
    Path makeRandomFolder(Path dir, String prefix) throws IOException {
        return posix ? Files.createTempDirectory(dir, prefix, PosixFilePermissions.asFileAttribute(OWNER_ONLY))
                : Files.createTempDirectory(dir, prefix);
    }

    /**
     * Checks one folder.
     *
     * @throws IOException saying why it cannot be trusted
     */
    void check(Path p) throws IOException {
        BasicFileAttributes a = Files.readAttributes(p, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
        if (a.isSymbolicLink() || a.isOther()) {
            throw new IOException(p + " is a link, not used");
        }
        if (!a.isDirectory()) {
            throw new IOException(p + " is not a folder, not used");
        }
        UserPrincipal owner = Files.getOwner(p, LinkOption.NOFOLLOW_LINKS);
        if (!self.contains(owner) && !system.contains(owner)) {
            throw new IOException(p + " belongs to " + owner.getName() + ", not to " + selfName() + ", not used");
        }
        if (posix) {
            Set<PosixFilePermission> perms = Files.getPosixFilePermissions(p, LinkOption.NOFOLLOW_LINKS);
            if (perms.contains(PosixFilePermission.GROUP_WRITE) || perms.contains(PosixFilePermission.OTHERS_WRITE)) {
                throw new IOException(p + " may be written by " + (perms.contains(PosixFilePermission.OTHERS_WRITE)
                        ? "anyone" : "its group") + " (" + PosixFilePermissions.toString(perms) + "), not used");
            }
            return;
        }
        AclFileAttributeView v = Files.getFileAttributeView(p, AclFileAttributeView.class, LinkOption.NOFOLLOW_LINKS);
        if (v == null) {
            throw new IOException(p + ": its permissions cannot be read, not used");
        }
        for (AclEntry e : v.getAcl()) {
            if (e.type() != AclEntryType.ALLOW || self.contains(e.principal()) || system.contains(e.principal())) {
                continue;
            }
            Set<AclEntryPermission> granted = EnumSet.noneOf(AclEntryPermission.class);
            granted.addAll(e.permissions());
            granted.retainAll(WRITING);
            if (!granted.isEmpty()) {
                throw new IOException(p + " lets " + e.principal().getName() + " write in it (" + granted
                        + "), not used");
            }
        }
    }

    /**
     * Checks a folder that must be this user's alone: trusted as above and,
     * on POSIX systems, with permissions 0700, so that others cannot even
     * look in it.
     */
    void checkPrivate(Path p) throws IOException {
        check(p);
        if (posix) {
            Set<PosixFilePermission> perms = Files.getPosixFilePermissions(p, LinkOption.NOFOLLOW_LINKS);
            if (!perms.equals(OWNER_ONLY)) {
                throw new IOException(p + " has permissions " + PosixFilePermissions.toString(perms)
                        + " instead of rwx------, not used");
            }
        }
    }

    boolean posix() {
        return posix;
    }

    private String selfName() {
        return self.iterator().next().getName();
    }

    // The principal that owns what this process creates.
    private static UserPrincipal ownerOfNewFiles(Path dir) throws IOException {
        Path probe = Files.createTempFile(dir, "dactylink-owner", ".tmp");
        try {
            return Files.getOwner(probe, LinkOption.NOFOLLOW_LINKS);
        } finally {
            Files.deleteIfExists(probe);
        }
    }

    /**
     * The mount point of the file system that {@code dir} lies on, when it is
     * mounted noexec: no library can be loaded from there. Read from
     * /proc/self/mountinfo; null where that cannot be read (not Linux) or
     * the mount allows execution.
     */
    static String noexecMount(Path dir) {
        Path info = Paths.get("/proc/self/mountinfo");
        try {
            if (!Files.isReadable(info)) {
                return null;
            }
            return noexecMount(new String(Files.readAllBytes(info), StandardCharsets.UTF_8), dir.toRealPath());
        } catch (IOException | RuntimeException e) {
            return null;
        }
    }

    /**
     * The same, from the text of a mountinfo file: the mount whose point is
     * the longest leading part of {@code dir} decides.
     */
    static String noexecMount(String mountinfo, Path dir) {
        String best = null;
        boolean noexec = false;
        for (String line : mountinfo.split("\n")) {
            // id parent major:minor root mount-point mount-options ...
            String[] f = line.trim().split(" ");
            if (f.length < 6) {
                continue;
            }
            String point = unescape(f[4]);
            if (!dir.startsWith(Paths.get(point))) {
                continue;
            }
            // Later lines are mounted over earlier ones at the same point.
            if (best == null || point.length() >= best.length()) {
                best = point;
                noexec = (',' + f[5] + ',').contains(",noexec,");
            }
        }
        return noexec ? best : null;
    }

    // Spaces, tabs, newlines and backslashes of mount points are written as \ooo.
    private static String unescape(String s) {
        StringBuilder b = new StringBuilder(s.length());
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' && i + 3 < s.length() && s.substring(i + 1, i + 4).matches("[0-7]{3}")) {
                b.append((char) Integer.parseInt(s.substring(i + 1, i + 4), 8));
                i += 3;
            } else {
                b.append(c);
            }
        }
        return b.toString();
    }
}
