package ardivex.matching;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.templates.NFRecord;
import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.DriverManager;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.TreeMap;
import java.util.concurrent.ConcurrentLinkedQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.api.io.TempDir;

class FingerprintBaseTest {
    @TempDir
    Path dir;

    @Test
    void enrollIdentifyAndRemove() throws Exception {
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            long a = base.enroll("alice", 1, Templates.record(1));
            long a2 = base.enroll("alice", 1, Templates.record(Templates.moved(Templates.finger(1), 5, 3, 3)));
            long b = base.enroll("bob", 10, Templates.record(2));
            long c = base.enroll("carol", 0, Templates.record(3));
            assertEquals(4, base.count());
            assertTrue(a != a2 && a2 != b && b != c);

            List<Candidate> found = base.identify(Templates.record(Templates.moved(Templates.finger(1), -20, 30, 10)), 10);
            assertEquals(2, found.size(), found.toString());
            assertTrue(found.get(0).score() >= found.get(1).score());
            for (Candidate x : found) {
                assertEquals("alice", x.code());
                assertEquals(1, x.finger());
                assertTrue(x.id() == a || x.id() == a2);
                assertTrue(x.score() >= NFMatcher.threshold(1e-3));
            }
            assertEquals(1, base.identify(Templates.record(1), 1).size());
            // The least score overload reaches below the threshold: every template.
            List<Candidate> all = base.identify(Templates.record(2), 10, 0);
            assertEquals(4, all.size());
            assertEquals(b, all.get(0).id());
            assertEquals("bob", all.get(0).code());
            assertEquals(10, all.get(0).finger());
            assertTrue(base.identify(Templates.record(2), 0).isEmpty());

            assertTrue(base.remove(b));
            assertFalse(base.remove(b));
            assertTrue(base.identify(Templates.record(2), 10).isEmpty());
            assertEquals(2, base.removeCode("alice"));
            assertEquals(0, base.removeCode("alice"));
            assertTrue(base.identify(Templates.record(1), 10).isEmpty());
            assertEquals(1, base.count());
        }
    }

    @Test
    void takesTemplatesAsItTakesTheirBytes() throws Exception {
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            long a = base.enroll("alice", 1, new NFRecord(Templates.record(1)));
            long[] b = base.enrollAll(List.of(new Enrollment("bob", 2, new NFRecord(Templates.record(2)))));
            NFRecord probe = new NFRecord(Templates.record(Templates.moved(Templates.finger(1), -20, 30, 10)));
            List<Candidate> found = base.identify(probe, 10);
            assertEquals(1, found.size(), found.toString());
            assertEquals(a, found.get(0).id());
            assertEquals(found, base.identify(probe.getData(), 10));
            List<Candidate> all = base.identify(new NFRecord(Templates.record(2)), 10, 0);
            assertEquals(2, all.size());
            assertEquals(b[0], all.get(0).id());

            Map<String, Executable> nulls = new TreeMap<>();
            nulls.put("The enrolled template is null", () -> base.enroll("x", 0, (NFRecord) null));
            nulls.put("The enrolled template's bytes are null", () -> base.enroll("x", 0, new NFRecord(null)));
            nulls.put("The probe template is null", () -> base.identify((NFRecord) null, 1));
            for (Map.Entry<String, Executable> n : nulls.entrySet()) {
                assertEquals(n.getKey(), assertThrows(MatchingException.class, n.getValue()).getMessage());
            }
            assertThrows(MatchingException.class, () -> base.enroll("x", 0, new NFRecord(new byte[3])));
            assertThrows(MatchingException.class, () -> base.identify(new NFRecord(new byte[3]), 1));
            assertEquals(2, base.count());
        }
    }

    @Test
    void refusesBadArgumentsAndMalformedTemplatesWithoutEnrolling() throws Exception {
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            byte[] t = Templates.record(4);
            assertThrows(IllegalArgumentException.class, () -> base.enroll("x", -1, t));
            assertThrows(IllegalArgumentException.class, () -> base.enroll("x", 11, t));
            assertThrows(IllegalArgumentException.class, () -> base.enroll("", 0, t));
            assertThrows(IllegalArgumentException.class, () -> base.enroll("x".repeat(256), 0, t));
            MatchingException e = assertThrows(MatchingException.class,
                    () -> base.enroll("x", 0, java.util.Arrays.copyOf(t, 50)));
            assertTrue(e.getMessage().contains("run past its end"), e.getMessage());
            assertThrows(MatchingException.class, () -> base.enroll("x", 0, (byte[]) null));
            assertThrows(MatchingException.class, () -> base.identify(new byte[3], 5));
            assertThrows(IllegalArgumentException.class, () -> base.identify(t, -1));
            assertEquals(0, base.count());
        }
        FingerprintBase closed = FingerprintBase.inMemory();
        closed.close();
        closed.close();
        assertThrows(MatchingException.class, () -> closed.enroll("x", 0, Templates.record(4)));
        assertThrows(MatchingException.class, () -> closed.identify(Templates.record(4), 1));
        assertThrows(MatchingException.class, closed::count);
    }

    @Test
    void codesThatWouldForgeAListingAreRefused() throws Exception {
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            byte[] t = Templates.record(4);
            String[] refused = {"mallory\n   1    999        1      1  alice", "\u001b[2Kalice", "tab\there",
                "del\u007f", "c1\u0085", "lone \ud800 high", "lone \udc00 low", "high at the end \ud83d"};
            for (String code : refused) {
                IllegalArgumentException e = assertThrows(IllegalArgumentException.class, () -> base.enroll(code, 1, t));
                assertTrue(e.getMessage().contains("U+"), e.getMessage());
            }
            assertEquals(0, base.count());
            // The limit counts UTF-16 units, as the column does: a pair counts two.
            String emoji = "\ud83d\ude00";
            base.enroll(emoji.repeat(127) + "x", 1, t);
            assertThrows(IllegalArgumentException.class, () -> base.enroll(emoji.repeat(128), 1, t));
            base.enroll("ana, ação, Ωμέγα, 指紋 " + emoji, 2, t);
            assertEquals(2, base.count());
        }
    }

    @Test
    void templatesWithTooFewMinutiaeToEverBeFoundAreRefused() throws Exception {
        assertEquals(FingerprintBase.leastUsableMinutiae(), FingerprintBase.MIN_MINUTIAE);
        List<int[]> finger = Templates.finger(8);
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            for (int n : new int[] {0, 1, FingerprintBase.MIN_MINUTIAE - 1}) {
                byte[] few = Templates.record(finger.subList(0, n));
                MatchingException e = assertThrows(MatchingException.class, () -> base.enroll("few", 1, few));
                assertTrue(e.getMessage().contains("needs at least " + FingerprintBase.MIN_MINUTIAE), e.getMessage());
            }
            base.enroll("enough", 1, Templates.record(finger.subList(0, FingerprintBase.MIN_MINUTIAE)));
            assertEquals(1, base.count());
            // A probe with no minutiae finds nothing, and is no error.
            assertTrue(base.identify(Templates.record(new ArrayList<>()), 5).isEmpty());
        }
    }

    @Test
    void aSmallBaseIsIndexedAtOnceAndAClosedOneSaysSo() throws Exception {
        FingerprintBase closed;
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            base.enroll("alice", 1, Templates.record(1));
            assertEquals(0, base.indexPending()); // searched in full: nothing to wait for
            assertTrue(base.awaitIndexed(java.time.Duration.ZERO));
            closed = base;
        }
        MatchingException e = assertThrows(MatchingException.class, closed::indexPending);
        assertTrue(e.getMessage().contains("closed"), e.getMessage());
        assertThrows(MatchingException.class, () -> closed.awaitIndexed(java.time.Duration.ofSeconds(1)));
    }

    @Test
    void enrollAllEnrollsEveryTemplateOrNone() throws Exception {
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            List<Enrollment> batch = new ArrayList<>();
            for (int seed = 100; seed < 150; seed++) {
                batch.add(new Enrollment("b" + seed, seed % 11, Templates.record(seed)));
            }
            long[] ids = base.enrollAll(batch);
            assertEquals(50, ids.length);
            assertEquals(50, java.util.Arrays.stream(ids).distinct().count());
            for (int k = 0; k < 50; k += 7) {
                List<Candidate> found = base.identify(Templates.record(100 + k), 1);
                assertEquals(ids[k], found.get(0).id());
                assertEquals("b" + (100 + k), found.get(0).code());
            }
            assertEquals(0, base.enrollAll(List.of()).length);
            assertThrows(NullPointerException.class, () -> base.enrollAll(java.util.Arrays.asList(batch.get(0), null)));
            assertEquals(50, base.count());
        }
        // A table made beforehand that refuses one row of the batch: none is enrolled.
        try (java.sql.Connection keep = DriverManager.getConnection("jdbc:h2:mem:strict");
                java.sql.Statement s = keep.createStatement()) {
            s.executeUpdate("CREATE TABLE " + FingerprintBase.TABLE + " (ID BIGINT GENERATED BY DEFAULT AS IDENTITY "
                    + "PRIMARY KEY, CODE VARCHAR(255) NOT NULL, FINGER SMALLINT NOT NULL CHECK (FINGER < 5), "
                    + "TEMPLATE BLOB NOT NULL)");
            try (FingerprintBase base = FingerprintBase.open("jdbc:h2:mem:strict", null, null)) {
                List<Enrollment> batch = List.of(new Enrollment("a", 1, Templates.record(1)),
                        new Enrollment("b", 7, Templates.record(2)), new Enrollment("c", 2, Templates.record(3)));
                MatchingException e = assertThrows(MatchingException.class, () -> base.enrollAll(batch));
                assertTrue(e.getMessage().startsWith("Cannot enroll the 3 templates"), e.getMessage());
                assertEquals(0, base.count());
                assertTrue(base.identify(Templates.record(1), 5).isEmpty());
                base.enroll("a", 1, Templates.record(1));
                assertEquals(1, base.count());
            }
        }
    }

    @Test
    void reopeningAFileFindsEverythingEnrolled() throws Exception {
        Path file = dir.resolve("people");
        Map<Long, String> ids = new TreeMap<>();
        try (FingerprintBase base = FingerprintBase.open(file)) {
            for (long seed = 10; seed < 30; seed++) {
                ids.put(base.enroll("p" + seed, (int) (seed % 11), Templates.record(seed)), "p" + seed);
            }
            base.remove(ids.keySet().iterator().next());
        }
        ids.remove(ids.keySet().iterator().next());
        assertTrue(Files.exists(dir.resolve("people.mv.db")));
        try (FingerprintBase base = FingerprintBase.open(dir.resolve("people.mv.db"))) {
            assertEquals(19, base.count());
            for (long seed = 11; seed < 30; seed++) {
                List<Candidate> found = base.identify(Templates.record(seed), 1);
                assertEquals(1, found.size(), "seed " + seed);
                assertEquals("p" + seed, found.get(0).code());
                assertEquals((int) (seed % 11), found.get(0).finger());
                assertEquals("p" + seed, ids.get(found.get(0).id()));
            }
            long next = base.enroll("late", 2, Templates.record(99));
            assertFalse(ids.containsKey(next), "ids are not reused after reopening");
        }
    }

    // More templates than one batch of the opening's loader thread: each must
    // keep its own code and finger across the batches' edges, the progress
    // reaches the caller's thread in order, and a listener that throws ends
    // the opening without leaving the file claimed or the thread running.
    @Test
    void openingABaseTellsItsProgressAndKeepsEveryRowWithItsCode() throws Exception {
        Path file = dir.resolve("large");
        int n = 4500;
        long[] ids;
        try (FingerprintBase base = FingerprintBase.open(file)) {
            List<Enrollment> all = new ArrayList<>();
            for (int k = 0; k < n; k++) {
                all.add(new Enrollment("p" + k, k % 11, Templates.record(1000 + k)));
            }
            ids = base.enrollAll(all);
        }
        List<long[]> calls = new ArrayList<>();
        Thread opener = Thread.currentThread();
        List<String> elsewhere = new ArrayList<>();
        try (FingerprintBase base = FingerprintBase.open(file, (read, total) -> {
            calls.add(new long[] {read, total});
            if (Thread.currentThread() != opener) {
                elsewhere.add(Thread.currentThread().getName());
            }
        })) {
            assertEquals(List.of(), elsewhere);
            assertEquals(0, calls.get(0)[0]);
            assertEquals(n, calls.get(calls.size() - 1)[0]);
            assertTrue(calls.size() >= 50 && calls.size() <= 102, calls.size() + " calls");
            for (int k = 0; k < calls.size(); k++) {
                assertEquals(n, calls.get(k)[1]);
                assertTrue(k == 0 || calls.get(k)[0] > calls.get(k - 1)[0], "read goes up");
            }
            assertEquals(n, base.count());
            for (int k : new int[] {0, 1999, 2000, 2001, 3999, 4000, n - 1}) {
                List<Candidate> found = base.identify(Templates.record(1000 + k), 1);
                assertEquals(1, found.size(), "template " + k);
                assertEquals(ids[k], found.get(0).id());
                assertEquals("p" + k, found.get(0).code());
                assertEquals(k % 11, found.get(0).finger());
            }
        }
        IllegalStateException stop = new IllegalStateException("cancelled");
        assertEquals(stop, assertThrows(IllegalStateException.class, () -> FingerprintBase.open(file, (read, total) -> {
            if (read >= 3000) {
                throw stop;
            }
        })));
        assertFalse(Thread.getAllStackTraces().keySet().stream()
                .anyMatch(t -> t.getName().equals("dactylink base loader")), "the loader thread has ended");
        try (FingerprintBase base = FingerprintBase.open(file)) {
            assertEquals(n, base.count());
        }
        assertThrows(NullPointerException.class, () -> FingerprintBase.open(file, null));
    }

    @Test
    void anEnrollAcknowledgedBeforeTheJvmIsKilledIsKept() throws Exception {
        Path file = dir.resolve("killed");
        String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
        String cp = String.join(File.pathSeparator, codeSource(FingerprintBase.class), codeSource(EnrollChild.class),
                codeSource(DriverManager.getDriver("jdbc:h2:mem:").getClass()));
        Process child = new ProcessBuilder(java, "-Djava.library.path=" + System.getProperty("java.library.path"),
                "-cp", cp, EnrollChild.class.getName(), file.toString())
                .redirectErrorStream(true).start();
        List<Long> acknowledged = new ArrayList<>();
        List<String> output = new ArrayList<>();
        try (BufferedReader r = new BufferedReader(new InputStreamReader(child.getInputStream(), StandardCharsets.UTF_8))) {
            String line;
            while ((line = r.readLine()) != null) {
                output.add(line);
                if (line.startsWith("enrolled ")) {
                    acknowledged.add(Long.parseLong(line.split(" ")[1]));
                    if (acknowledged.size() == 40) {
                        child.destroyForcibly(); // SIGKILL: no shutdown hooks, no closing
                        break;
                    }
                }
            }
        } finally {
            child.destroyForcibly();
            assertTrue(child.waitFor(60, TimeUnit.SECONDS));
        }
        assertEquals(40, acknowledged.size(), String.join("\n", output));
        try (FingerprintBase base = FingerprintBase.open(file)) {
            assertTrue(base.count() >= 40, "count " + base.count());
            long last = acknowledged.get(acknowledged.size() - 1);
            List<Candidate> found = base.identify(Templates.record(1000 + 39), 1);
            assertEquals(1, found.size());
            assertEquals(last, found.get(0).id());
            assertEquals("child-1039", found.get(0).code());
        }
    }

    private static String codeSource(Class<?> c) throws Exception {
        return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }

    @Test
    void twoThreadsEnrollingAndIdentifyingAtOnce() throws Exception {
        try (FingerprintBase base = FingerprintBase.open(dir.resolve("busy"))) {
            ConcurrentLinkedQueue<Throwable> failures = new ConcurrentLinkedQueue<>();
            ConcurrentLinkedQueue<Long> enrolled = new ConcurrentLinkedQueue<>();
            Thread[] threads = new Thread[2];
            for (int t = 0; t < 2; t++) {
                final int offset = t * 1000;
                threads[t] = new Thread(() -> {
                    try {
                        for (long seed = offset; seed < offset + 40; seed++) {
                            enrolled.add(base.enroll("t" + seed, 0, Templates.record(seed)));
                            List<Candidate> found = base.identify(Templates.record(seed), 3);
                            if (found.isEmpty() || !found.get(0).code().equals("t" + seed)) {
                                throw new AssertionError("seed " + seed + " found " + found);
                            }
                            if (seed % 10 == 0) {
                                base.removeCode("t" + seed);
                            }
                        }
                    } catch (Throwable e) {
                        failures.add(e);
                    }
                });
                threads[t].start();
            }
            for (Thread t : threads) {
                t.join(100_000);
                assertFalse(t.isAlive());
            }
            assertTrue(failures.isEmpty(), failures.toString());
            assertEquals(72, base.count());
            assertEquals(80, enrolled.stream().distinct().count());
        }
    }

    // Which URLs are followed as shared, and what of a URL reaches a log
    // message or a thread name: never its settings, which may hold a password.
    @Test
    void serverUrlsAreSharedAndNamedWithoutTheirSettings() {
        assertFalse(FingerprintBase.isServer("jdbc:h2:mem:"));
        assertFalse(FingerprintBase.isServer("jdbc:h2:file:/tmp/base"));
        assertFalse(FingerprintBase.isServer("jdbc:h2:/tmp/base"));
        assertTrue(FingerprintBase.isServer("jdbc:h2:tcp://127.0.0.1:9092/base"));
        assertTrue(FingerprintBase.isServer("jdbc:h2:ssl://db/base"));
        assertTrue(FingerprintBase.isServer("jdbc:postgresql://db/people"));
        assertEquals("jdbc:postgresql://db/people",
                FingerprintBase.describe("jdbc:postgresql://db/people?user=desk&password=secret"));
        assertEquals("jdbc:h2:tcp://db/base", FingerprintBase.describe("jdbc:h2:tcp://db/base;PASSWORD=secret"));
        assertEquals("jdbc:h2:tcp://db/base", FingerprintBase.describe("jdbc:h2:tcp://db/base"));
    }

    @Test
    void shardsSplitTheIdsAndRefuseWhatIsNoPart() {
        for (long id = 1; id <= 30; id++) {
            int holders = 0;
            for (int i = 0; i < 3; i++) {
                holders += Shard.of(i, 3).holds(id) ? 1 : 0;
            }
            assertEquals(1, holders, "id " + id);
            assertTrue(Shard.WHOLE.holds(id));
        }
        assertTrue(Shard.of(0, 1) == Shard.WHOLE);
        assertEquals(Shard.of(1, 4), Shard.of(1, 4));
        assertThrows(IllegalArgumentException.class, () -> Shard.of(3, 3));
        assertThrows(IllegalArgumentException.class, () -> Shard.of(-1, 3));
        assertThrows(IllegalArgumentException.class, () -> Shard.of(0, 0));
    }
}
