package ardivex.matching;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.condition.DisabledOnOs;
import org.junit.jupiter.api.condition.OS;
import org.junit.jupiter.api.io.TempDir;

/** A base kept in a file: its name taken literally, damage told, rows that are not templates, its size. */
class BaseFileTest {
    @TempDir
    Path dir;

    private static List<Enrollment> people(int from, int to) throws MatchingException {
        List<Enrollment> out = new ArrayList<>();
        for (int seed = from; seed < to; seed++) {
            out.add(new Enrollment("p" + seed, seed % 11, Templates.record(seed)));
        }
        return out;
    }

    private Set<String> files() throws Exception {
        try (Stream<Path> s = Files.list(dir)) {
            return s.map(p -> p.getFileName().toString()).collect(Collectors.toCollection(TreeSet::new));
        }
    }

    // Names with '"', '?' and links: POSIX file names.
    @Test
    @DisabledOnOs(OS.WINDOWS)
    void aPathIsANameNeverSettings() throws Exception {
        Path victim = dir.resolve("victim");
        try (FingerprintBase base = FingerprintBase.open(victim)) {
            base.enrollAll(people(0, 3));
        }
        Set<String> before = files();
        String[] hostile = {
            "victim;INIT=DELETE FROM " + FingerprintBase.TABLE,
            "x;INIT=CREATE ALIAS MARK FOR 'java.lang.System.setProperty'\\;CALL MARK('dactylink.injected', 'ran')",
            "victim.mv.db;IFEXISTS=TRUE",
        };
        for (String name : hostile) {
            MatchingException e = assertThrows(MatchingException.class, () -> FingerprintBase.open(dir.resolve(name)));
            assertTrue(e.getMessage().contains("holds ';'"), e.getMessage());
        }
        // In a folder's name too.
        MatchingException folder = assertThrows(MatchingException.class,
                () -> FingerprintBase.open(dir.resolve("a;INIT=DELETE FROM " + FingerprintBase.TABLE).resolve("b")));
        assertTrue(folder.getMessage().contains("holds ';'"), folder.getMessage());
        assertNull(System.getProperty("dactylink.injected"));
        assertEquals(before, files());
        try (FingerprintBase base = FingerprintBase.open(victim)) {
            assertEquals(3, base.count());
        }

        // Everything else H2 is given stays part of the name.
        String odd = "odd name: #1 %20 ~ & = ? ' \" ! é";
        try (FingerprintBase base = FingerprintBase.open(dir.resolve(odd))) {
            base.enroll("o", 1, Templates.record(5));
        }
        assertTrue(Files.isRegularFile(dir.resolve(odd + ".mv.db")), files().toString());
        try (FingerprintBase base = FingerprintBase.open(dir.resolve(odd + ".mv.db"))) {
            assertEquals(1, base.count());
        }
        // H2 folds "x/../y" by its letters; the path is resolved as the system does first.
        Files.createDirectories(dir.resolve("real/sub"));
        Files.createSymbolicLink(dir.resolve("link"), dir.resolve("real/sub"));
        try (FingerprintBase base = FingerprintBase.open(dir.resolve("link/../beside"))) {
            base.enroll("b", 1, Templates.record(6));
        }
        assertTrue(Files.isRegularFile(dir.resolve("real/beside.mv.db")));
        assertFalse(Files.exists(dir.resolve("beside.mv.db")));
    }

    // On Windows '\' is a folder separator, as H2 reads it.
    @Test
    @DisabledOnOs(OS.WINDOWS)
    void aBackslashIsRefusedWhereItIsALetterOfNames() throws Exception {
        MatchingException e = assertThrows(MatchingException.class, () -> FingerprintBase.open(dir.resolve("a\\b")));
        assertTrue(e.getMessage().contains("holds '\\'"), e.getMessage());
        assertEquals(Set.of(), files());
    }

    @Test
    void aBaseThatCannotBeCreatedSaysWhy() throws Exception {
        Path blocker = dir.resolve("file");
        Files.writeString(blocker, "not a folder");
        MatchingException e = assertThrows(MatchingException.class,
                () -> FingerprintBase.open(blocker.resolve("base")));
        assertTrue(e.getMessage().startsWith("Cannot create the base "), e.getMessage());
        MatchingException none = assertThrows(MatchingException.class, () -> FingerprintBase.open(dir.resolve(".mv.db")));
        assertTrue(none.getMessage().contains("names no base file"), none.getMessage());
    }

    // A base of 300 templates enrolled over several commits, and its two files.
    private Path busyBase(String name) throws Exception {
        Path base = dir.resolve(name);
        try (FingerprintBase b = FingerprintBase.open(base)) {
            for (int k = 0; k < 6; k++) {
                b.enrollAll(people(50 * k, 50 * k + 50));
            }
            b.remove(7);
            b.enroll("late", 3, Templates.record(999));
        }
        return dir.resolve(name + ".mv.db");
    }

    private static void assertRefusedAndUnchanged(Path file, String... oneOf) throws Exception {
        Path record = file.resolveSibling(file.getFileName().toString().replace(".mv.db", ".commit"));
        byte[] bytes = Files.readAllBytes(file);
        byte[] recorded = Files.readAllBytes(record);
        MatchingException e = assertThrows(MatchingException.class, () -> FingerprintBase.open(file));
        assertTrue(Arrays.stream(oneOf).anyMatch(e.getMessage()::contains), e.getMessage());
        assertTrue(e.getMessage().contains(file.toString()), e.getMessage());
        assertArrayEquals(bytes, Files.readAllBytes(file), "the base was written by the open that failed");
        assertArrayEquals(recorded, Files.readAllBytes(record));
    }

    @Test
    void aDamagedBaseIsReportedAndLeftAsItIs() throws Exception {
        Path half = busyBase("half");
        byte[] whole = Files.readAllBytes(half);
        Files.write(half, Arrays.copyOf(whole, whole.length / 2));
        assertRefusedAndUnchanged(half, "older than its last commit", "cannot be read: it is damaged");

        Path flipped = busyBase("flipped");
        byte[] f = Files.readAllBytes(flipped);
        for (int k = 8192 + 1000; k < f.length; k += 4096) {
            f[k] ^= 0x5A; // one byte in every block after the two file headers
        }
        Files.write(flipped, f);
        assertRefusedAndUnchanged(flipped, "older than its last commit", "cannot be read: it is damaged");

        Path junk = dir.resolve("junk.mv.db");
        Files.write(junk, "not a database".repeat(300).getBytes(java.nio.charset.StandardCharsets.UTF_8));
        byte[] junkBytes = Files.readAllBytes(junk);
        assertThrows(MatchingException.class, () -> FingerprintBase.open(junk));
        assertArrayEquals(junkBytes, Files.readAllBytes(junk));
    }

    @Test
    void anOlderCopyIsToldFromTheBaseAndAcceptedOnlyWhenItsRecordIsDeleted() throws Exception {
        Path base = dir.resolve("people");
        Path file = dir.resolve("people.mv.db");
        Path record = dir.resolve("people.commit");
        try (FingerprintBase b = FingerprintBase.open(base)) {
            b.enrollAll(people(0, 20));
        }
        byte[] older = Files.readAllBytes(file);
        try (FingerprintBase b = FingerprintBase.open(base)) {
            b.enroll("one more", 1, Templates.record(77));
            assertTrue(b.remove(3));
        }
        Files.write(file, older);
        assertRefusedAndUnchanged(file, "older than its last commit: it is at commit 1 with 20 templates, but "
                + record + " (written after each commit) says commit 3 with 20");
        Files.delete(record);
        try (FingerprintBase b = FingerprintBase.open(base)) {
            assertEquals(20, b.count());
        }
        assertTrue(Files.isRegularFile(record), "the record is written again");

        // A base gone while its record stays is not silently made anew.
        Files.delete(file);
        MatchingException gone = assertThrows(MatchingException.class, () -> FingerprintBase.open(base));
        assertTrue(gone.getMessage().contains("is missing, but " + record + " says it held 20 templates"),
                gone.getMessage());
        assertFalse(Files.exists(file));
        // A record this library did not write is refused, not trusted.
        Files.writeString(record, "commit 99\n");
        MatchingException strange = assertThrows(MatchingException.class, () -> FingerprintBase.open(base));
        assertTrue(strange.getMessage().contains("is not the commit record of a fingerprint base"),
                strange.getMessage());
    }

    @Test
    void aRecordBehindTheBaseIsCaughtUpAndABaseWithoutOneGetsOne() throws Exception {
        Path base = dir.resolve("people");
        Path record = dir.resolve("people.commit");
        try (FingerprintBase b = FingerprintBase.open(base)) {
            b.enrollAll(people(0, 5));
        }
        byte[] early = Files.readAllBytes(record);
        try (FingerprintBase b = FingerprintBase.open(base)) {
            b.enroll("x", 1, Templates.record(50));
        }
        Files.write(record, early); // as if the last record write was lost in a crash
        try (FingerprintBase b = FingerprintBase.open(base)) {
            assertEquals(6, b.count());
        }
        assertTrue(Files.readString(record).contains("\ncommit 2\nrows 6\n"), Files.readString(record));
        // A base made before there were records, or copied without its own.
        Files.delete(record);
        try (FingerprintBase b = FingerprintBase.open(base)) {
            assertEquals(6, b.count());
        }
        assertTrue(Files.isRegularFile(record));
    }

    @Test
    void aBaseIsOpenOnceInAProcess() throws Exception {
        Path base = dir.resolve("once");
        try (FingerprintBase b = FingerprintBase.open(base)) {
            MatchingException e = assertThrows(MatchingException.class,
                    () -> FingerprintBase.open(dir.resolve("once.mv.db")));
            assertTrue(e.getMessage().contains("is open already in this process"), e.getMessage());
            b.enroll("a", 1, Templates.record(1));
        }
        try (FingerprintBase b = FingerprintBase.open(base)) {
            b.enroll("b", 1, Templates.record(2));
        }
        assertTrue(Files.readString(dir.resolve("once.commit")).contains("\ncommit 2\nrows 2\n"));
    }

    @Test
    void rowsThatAreNotTemplatesAreListedLeftOutAndRemovable() throws Exception {
        Path base = dir.resolve("mixed");
        long good;
        try (FingerprintBase b = FingerprintBase.open(base)) {
            good = b.enroll("good", 1, Templates.record(40));
        }
        byte[] cut = Arrays.copyOf(Templates.record(41), 40);
        byte[] none = Templates.record(new ArrayList<>()); // no minutiae: readable, as older versions enrolled it
        try (Connection c = DriverManager.getConnection("jdbc:h2:file:" + dir.resolve("mixed"));
                PreparedStatement p = c.prepareStatement(
                        "INSERT INTO " + FingerprintBase.TABLE + " (ID, CODE, FINGER, TEMPLATE) VALUES (?, ?, 0, ?)")) {
            Object[][] rows = {{100L, "readme", "hello, world".getBytes(java.nio.charset.StandardCharsets.UTF_8)},
                {101L, "cut", cut}, {102L, "blank", none}, {103L, "empty", new byte[0]}};
            for (Object[] r : rows) {
                p.setLong(1, (Long) r[0]);
                p.setString(2, (String) r[1]);
                p.setBytes(3, (byte[]) r[2]);
                p.executeUpdate();
            }
        }
        try (FingerprintBase b = FingerprintBase.open(base)) {
            assertEquals(Set.of(100L, 101L, 103L), b.unreadableIds());
            assertEquals(2, b.count());
            List<Candidate> found = b.identify(Templates.record(40), 5);
            assertEquals(1, found.size());
            assertEquals(good, found.get(0).id());
            assertTrue(b.remove(100));
            assertTrue(b.remove(103));
            assertEquals(Set.of(101L), b.unreadableIds());
            b.enroll("later", 2, Templates.record(42));
        }
        try (FingerprintBase b = FingerprintBase.open(base)) {
            assertEquals(Set.of(101L), b.unreadableIds());
            assertEquals(3, b.count());
        }
    }

    // Single enrolls, each its own durable commit: the file stays small. The
    // benchmark BaseSizeBench shows the bound at 20,000 (docs/matching.md).
    @Test
    void aThousandSingleEnrollsKeepTheFileSmall() throws Exception {
        int n = 1000;
        Path base = dir.resolve("size");
        try (FingerprintBase b = FingerprintBase.open(base)) {
            for (int k = 0; k < n; k++) {
                b.enroll("person " + k, k % 11, Templates.record(k));
            }
            long open = Files.size(dir.resolve("size.mv.db"));
            assertTrue(open <= 3000L * n, open / n + " bytes per template while open");
        }
        long closed = Files.size(dir.resolve("size.mv.db"));
        assertTrue(closed <= 3000L * n, closed / n + " bytes per template once closed");
    }
}
