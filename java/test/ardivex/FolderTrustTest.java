package ardivex;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.List;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Which folders the natives may be copied to (POSIX), and the noexec reading of mountinfo. */
class FolderTrustTest {
    @TempDir
    Path dir;

    private String refused(FolderTrust t, Path base, String... below) {
        return assertThrows(IOException.class, () -> t.walk(base, List.of(below))).getMessage();
    }

    @Test
    void everyLevelMustBeARealFolderOfTheUserThatNoOneElseMayWrite() throws Exception {
        FolderTrust t = FolderTrust.forThisUser(dir);
        Path made = t.walk(dir, List.of("a", "b", "c"));
        assertEquals(dir.resolve("a/b/c"), made);
        for (Path p : new Path[] {dir.resolve("a"), dir.resolve("a/b"), made}) {
            assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(p)), p.toString());
        }
        // Levels made by the user earlier with an ordinary umask are fine.
        Files.setPosixFilePermissions(dir.resolve("a/b"), PosixFilePermissions.fromString("rwxr-xr-x"));
        assertEquals(made, t.walk(dir, List.of("a", "b", "c")));

        Files.setPosixFilePermissions(dir.resolve("a/b"), PosixFilePermissions.fromString("rwxrwxr-x"));
        assertEquals(dir.resolve("a/b") + " may be written by its group (rwxrwxr-x), not used",
                refused(t, dir, "a", "b", "c"));
        Files.setPosixFilePermissions(dir.resolve("a/b"), PosixFilePermissions.fromString("rwxr-xrwx"));
        assertEquals(dir.resolve("a/b") + " may be written by anyone (rwxr-xrwx), not used",
                refused(t, dir, "a", "b", "c"));
        Files.setPosixFilePermissions(dir.resolve("a/b"), PosixFilePermissions.fromString("rwx------"));
        // The base folder counts too.
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxrwxrwx"));
        String base = refused(t, dir, "a");
        assertTrue(base.startsWith(dir + " may be written by anyone"), base);
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwx------"));

        // A link to a good folder is still a link: what is checked must be what is used.
        Files.createSymbolicLink(dir.resolve("link"), made);
        assertEquals(dir.resolve("link") + " is a link, not used", refused(t, dir, "link"));
        Files.write(dir.resolve("file"), new byte[0]);
        assertEquals(dir.resolve("file") + " is not a folder, not used", refused(t, dir, "file", "x"));
    }

    @Test
    void aPrivateFolderHasPermissions0700() throws Exception {
        FolderTrust t = FolderTrust.forThisUser(dir);
        Path p = Files.createDirectory(dir.resolve("p"));
        Files.setPosixFilePermissions(p, PosixFilePermissions.fromString("rwxr-x---"));
        assertEquals(p + " has permissions rwxr-x--- instead of rwx------, not used",
                assertThrows(IOException.class, () -> t.checkPrivate(p)).getMessage());
        Path random = t.makeRandomFolder(dir, "x-");
        t.checkPrivate(random);
        assertTrue(random.getFileName().toString().startsWith("x-"));
    }

    @Test
    void aHomeThatIsNoAbsolutePathGivesNoCache() {
        for (String bad : new String[] {"?", "", "relative/home"}) {
            NativeFiles.CacheBase c = NativeFiles.cacheBase(bad, null, null, false);
            assertNull(c.base, bad);
            assertEquals("user.home is \"" + bad + "\", not an absolute path, not used", c.why);
            // XDG_CACHE_HOME is used only when absolute too.
            assertNull(NativeFiles.cacheBase(bad, "rel/cache", null, false).base);
            assertEquals(Paths.get("/c"), NativeFiles.cacheBase(bad, "/c", null, false).base);
            assertTrue(NativeFiles.cacheBase(bad, null, "AppData\\Local", true).why.startsWith(
                    "LOCALAPPDATA is not set and user.home is"));
        }
        NativeFiles.CacheBase home = NativeFiles.cacheBase("/home/ana", null, null, false);
        assertEquals(Paths.get("/home/ana"), home.base);
        assertEquals(List.of(".cache"), home.below);
        assertNull(NativeFiles.absolute(null));
        assertEquals(Paths.get("/x/y"), NativeFiles.absolute("/x/y"));
    }

    @Test
    void aNoexecMountIsFoundByTheLongestMountPoint() {
        String info = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                + "30 22 0:25 / /tmp rw,nosuid,nodev,noexec,relatime shared:5 - tmpfs tmpfs rw\n"
                + "31 30 0:26 / /tmp/exec rw,relatime shared:6 - tmpfs tmpfs rw\n"
                + "32 22 0:27 / /mnt/with\\040space rw,noexec - tmpfs tmpfs rw\n"
                + "33 22 0:28 / /mnt/remounted rw,noexec - tmpfs tmpfs rw\n"
                + "34 22 0:28 / /mnt/remounted rw - tmpfs tmpfs rw\n";
        assertEquals("/tmp", FolderTrust.noexecMount(info, Paths.get("/tmp/dactylink-ana/x")));
        assertEquals("/tmp", FolderTrust.noexecMount(info, Paths.get("/tmp")));
        assertNull(FolderTrust.noexecMount(info, Paths.get("/tmp/exec/dactylink")));
        assertNull(FolderTrust.noexecMount(info, Paths.get("/tmpfoo/x")), "a mount point is a whole name");
        assertNull(FolderTrust.noexecMount(info, Paths.get("/home/ana/.cache")));
        assertEquals("/mnt/with space", FolderTrust.noexecMount(info, Paths.get("/mnt/with space/c")));
        assertNull(FolderTrust.noexecMount(info, Paths.get("/mnt/remounted/c")), "the later mount decides");
        assertNull(FolderTrust.noexecMount("garbage\n\n", Paths.get("/tmp")));
    }
}
