package ardivex.matching;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.BufferedReader;
import java.io.File;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.io.OutputStreamWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashSet;
import java.util.List;
import java.util.Properties;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * One server base shared by several processes, on each server database the
 * library is tried with: what one process changes, the others see; nothing
 * acknowledged is lost when a process is killed; shards together are the
 * whole; the change log is followed in commit order, never past a commit not
 * yet visible.
 */
abstract class SharedBaseContract {
    /** Deadline for a change to reach another process: the 2 s promised, with room for a loaded machine. */
    static final long SEEN_WITHIN_NANOS = TimeUnit.SECONDS.toNanos(5);

    private final List<Process> children = new ArrayList<>();

    /** A new, empty database's URL. */
    abstract String newDatabase() throws Exception;

    abstract String user();

    abstract String password();

    /** The class that holds the database's JDBC driver, for a child JVM's class path. */
    abstract Class<?> driver() throws Exception;

    /** Whether some session of the database waits for a lock that another holds. */
    abstract boolean someoneWaitsForALock(Connection c) throws SQLException;

    /** The statements an earlier version needed (or made) for a base in this database. */
    abstract String[] earlierSchema();

    Connection connect(String url) throws SQLException {
        Properties p = new Properties();
        p.setProperty("user", user());
        p.setProperty("password", password());
        return DriverManager.getConnection(url, p);
    }

    FingerprintBase open(String url) throws MatchingException {
        return FingerprintBase.open(url, user(), password());
    }

    @AfterEach
    void stopChildren() throws Exception {
        for (Process p : children) {
            p.destroyForcibly();
            p.waitFor(60, TimeUnit.SECONDS);
        }
        children.clear();
    }

    // ---- a second JVM ----

    final class Child implements AutoCloseable {
        final Process process;
        final BufferedReader out;
        final PrintWriter in;
        final List<String> said = new ArrayList<>();

        Child(String url) throws Exception {
            String java = Path.of(System.getProperty("java.home"), "bin", "java").toString();
            // The database's own driver only: a PostgreSQL base needs no H2.
            String cp = String.join(File.pathSeparator, codeSource(FingerprintBase.class),
                    codeSource(BaseChild.class), codeSource(driver()));
            process = new ProcessBuilder(java, "-Djava.library.path=" + System.getProperty("java.library.path"), "-cp",
                    cp, BaseChild.class.getName(), url, user(), password()).redirectErrorStream(true).start();
            children.add(process);
            out = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8));
            in = new PrintWriter(new OutputStreamWriter(process.getOutputStream(), StandardCharsets.UTF_8), true);
            expect("open ");
        }

        /** The next line starting with `start` (other lines are kept for the failure message). */
        String expect(String start) throws Exception {
            String line;
            while ((line = out.readLine()) != null) {
                said.add(line);
                if (line.startsWith(start)) {
                    return line.substring(start.length());
                }
            }
            throw new AssertionError("the child ended without saying \"" + start + "\": " + String.join("\n", said));
        }

        String ask(String command, String answer) throws Exception {
            in.println(command);
            return expect(answer);
        }

        @Override
        public void close() throws Exception {
            in.println("quit");
            if (!process.waitFor(60, TimeUnit.SECONDS)) {
                process.destroyForcibly();
            }
        }
    }

    private static String codeSource(Class<?> c) throws Exception {
        return Path.of(c.getProtectionDomain().getCodeSource().getLocation().toURI()).toString();
    }

    private static boolean firstIs(List<Candidate> found, long id) {
        return !found.isEmpty() && found.get(0).id() == id;
    }

    // Polls this process's identification until `id` comes first, within the deadline.
    private static boolean seenWithinDeadline(FingerprintBase base, long seed, long id) throws Exception {
        long deadline = System.nanoTime() + SEEN_WITHIN_NANOS;
        while (System.nanoTime() < deadline) {
            if (firstIs(base.identify(Templates.record(seed), 1), id)) {
                return true;
            }
            Thread.sleep(20);
        }
        return false;
    }

    // ---- the tests ----

    @Test
    void twoJvmsSeeEachOthersEnrollsAndRemovals() throws Exception {
        String url = newDatabase();
        try (FingerprintBase here = open(url); Child there = new Child(url)) {
            long mine = here.enroll("here", 1, Templates.record(1));
            assertEquals("seen", there.ask("await 1 " + mine, ""), "the other JVM did not see the enroll");

            long theirs = Long.parseLong(there.ask("enroll 2", "enrolled "));
            assertTrue(seenWithinDeadline(here, 2, theirs), "this JVM did not see the other's enroll");

            assertEquals("removed true", "removed " + there.ask("remove " + mine, "removed "));
            here.refresh();
            assertFalse(firstIs(here.identify(Templates.record(1), 5), mine), "removed elsewhere, still found here");
            assertTrue(here.identify(Templates.record(1), 5).isEmpty());

            assertTrue(here.remove(theirs));
            assertEquals("gone", there.ask("refresh-gone 2 " + theirs, ""));
            assertEquals(0, here.count());
        }
    }

    @Test
    void aJvmKilledDuringEnrollsLosesNothingAcknowledged() throws Exception {
        String url = newDatabase();
        try (FingerprintBase watcher = open(url)) {
            Child child = new Child(url);
            child.in.println("enroll-forever 1000");
            List<long[]> acknowledged = new ArrayList<>();
            while (acknowledged.size() < 40) {
                String[] w = child.expect("enrolled ").split(" ");
                acknowledged.add(new long[] {Long.parseLong(w[0]), Long.parseLong(w[1])});
            }
            child.process.destroyForcibly(); // SIGKILL: no shutdown hooks, no closing
            assertTrue(child.process.waitFor(60, TimeUnit.SECONDS));

            try (FingerprintBase fresh = open(url)) {
                // A commit the child had sent may land on the server just after
                // the kill: both refreshed after the fresh open, they agree.
                watcher.refresh();
                fresh.refresh();
                assertTrue(fresh.count() >= 40, "count " + fresh.count());
                assertEquals(fresh.count(), watcher.count());
                for (long[] a : acknowledged) {
                    assertTrue(firstIs(fresh.identify(Templates.record(a[1]), 1), a[0]), "lost enroll of seed " + a[1]);
                    assertTrue(firstIs(watcher.identify(Templates.record(a[1]), 1), a[0]),
                            "the watcher missed seed " + a[1]);
                }
            }
        }
    }

    private static List<Thread> followers() {
        List<Thread> out = new ArrayList<>();
        for (Thread t : Thread.getAllStackTraces().keySet()) {
            if (t.getName().startsWith("dactylink base follower ")) {
                out.add(t);
            }
        }
        return out;
    }

    @Test
    void theFollowerIsADaemonNamedForTheBaseThatEndsOnClose() throws Exception {
        String url = newDatabase();
        List<Thread> before = followers();
        FingerprintBase base = open(url);
        List<Thread> started = followers();
        started.removeAll(before);
        assertEquals(1, started.size());
        Thread t = started.get(0);
        assertTrue(t.isDaemon());
        assertEquals("dactylink base follower " + FingerprintBase.describe(url), t.getName());
        base.close();
        assertFalse(t.isAlive(), "the follower outlived close()");
        base.close();
        MatchingException closed = org.junit.jupiter.api.Assertions.assertThrows(MatchingException.class,
                base::refresh);
        assertEquals("The fingerprint base is closed", closed.getMessage());
        // A base in memory is nobody else's: no follower.
        try (FingerprintBase alone = FingerprintBase.inMemory()) {
            alone.refresh();
            assertEquals(before.size(), followers().size());
        }
    }

    // The candidates of every part, best first, as docs/matching.md merges them.
    static List<Candidate> merge(List<List<Candidate>> parts, int maxCandidates) {
        List<Candidate> all = new ArrayList<>();
        parts.forEach(all::addAll);
        all.sort(Comparator.comparingInt(Candidate::score).reversed().thenComparingLong(Candidate::id));
        return all.subList(0, Math.min(maxCandidates, all.size()));
    }

    @Test
    void aShardPairTogetherReturnsWhatTheWholeBaseReturns() throws Exception {
        String url = newDatabase();
        try (FingerprintBase whole = open(url);
                FingerprintBase even = FingerprintBase.open(url, user(), password(), Shard.of(0, 2));
                FingerprintBase odd = FingerprintBase.open(url, user(), password(), Shard.of(1, 2))) {
            List<Enrollment> people = new ArrayList<>();
            for (int seed = 0; seed < 40; seed++) {
                people.add(new Enrollment("p" + seed, seed % 11, Templates.record(seed)));
            }
            whole.enrollAll(people);
            // Enrolled through a part, held by whichever part its id falls in.
            List<Long> throughParts = new ArrayList<>();
            for (int seed = 40; seed < 46; seed++) {
                FingerprintBase via = seed % 2 == 0 ? even : odd;
                throughParts.add(via.enroll("p" + seed, 1, Templates.record(seed)));
                // A near copy, so that the merge meets equal and close scores.
                whole.enroll("twin" + seed, 2, Templates.record(Templates.moved(Templates.finger(seed), 3, 2, 1)));
            }
            even.refresh();
            odd.refresh();
            whole.refresh();
            assertEquals(52, whole.count());
            assertEquals(whole.count(), even.count() + odd.count());
            for (int seed = 0; seed < 46; seed += 3) {
                byte[] probe = Templates.record(Templates.moved(Templates.finger(seed), -10, 5, -5));
                List<Candidate> all = whole.identify(probe, 5, 0);
                List<Candidate> parts = merge(List.of(even.identify(probe, 5, 0), odd.identify(probe, 5, 0)), 5);
                assertEquals(all, parts, "seed " + seed);
                for (Candidate c : even.identify(probe, 100, 0)) {
                    assertTrue(Shard.of(0, 2).holds(c.id()));
                }
            }
            // A removal through one part reaches the part that holds it.
            long inOdd = throughParts.stream().filter(id -> id % 2 == 1).findFirst().orElseThrow();
            int seed = 40 + throughParts.indexOf(inOdd);
            assertTrue(firstIs(odd.identify(Templates.record(seed), 1), inOdd));
            assertTrue(even.remove(inOdd));
            odd.refresh();
            assertFalse(firstIs(odd.identify(Templates.record(seed), 1), inOdd));
            assertEquals(51, even.count() + odd.count());
        }
        // A part opened later counts only its own rows in its progress.
        List<Long> told = new ArrayList<>();
        try (FingerprintBase odd = FingerprintBase.open(url, user(), password(), Shard.of(1, 2),
                (read, total) -> told.add(total))) {
            assertEquals((long) odd.count(), (long) told.get(0));
            assertEquals(Set.copyOf(told), Set.of(told.get(0)));
        }
    }

    // Commit n+1 cannot commit before commit n: a change that took its number
    // holds the next one back until it commits, and a follower sees both.
    @Test
    void aChangeWaitsForTheCommitBeforeItsOwn() throws Exception {
        String url = newDatabase();
        try (FingerprintBase writer = open(url);
                FingerprintBase follower = FingerprintBase.open(url, user(), password(), Shard.WHOLE, 0);
                Connection slow = connect(url); Connection look = connect(url)) {
            writer.enroll("first", 1, Templates.record(1));
            follower.refresh();
            // A change in another session that has taken its commit number and not committed.
            slow.setAutoCommit(false);
            long slowId = insertTemplate(slow, "slow", Templates.record(2));
            long n = takeCommitNumber(slow);
            logChange(slow, n, slowId);

            AtomicBoolean slowCommitted = new AtomicBoolean();
            AtomicLong enrolled = new AtomicLong();
            AtomicReference<Throwable> failure = new AtomicReference<>();
            AtomicBoolean early = new AtomicBoolean();
            Thread t = new Thread(() -> {
                try {
                    enrolled.set(writer.enroll("next", 1, Templates.record(3)));
                    early.set(!slowCommitted.get());
                } catch (Throwable e) {
                    failure.set(e);
                }
            });
            t.start();
            while (t.isAlive() && !someoneWaitsForALock(look)) {
                Thread.sleep(10);
            }
            assertTrue(t.isAlive(), "the enroll committed while an earlier commit number was not committed");
            follower.refresh(); // neither is committed: nothing new, no failure
            assertEquals(1, follower.count());
            slowCommitted.set(true);
            slow.commit();
            t.join(60_000);
            assertFalse(t.isAlive());
            assertEquals(null, failure.get());
            assertFalse(early.get());
            assertEquals(n + 1, commitOf(look, enrolled.get()), "the enroll's commit number");
            follower.refresh();
            assertEquals(3, follower.count());
            assertTrue(firstIs(follower.identify(Templates.record(2), 1), slowId));
            assertTrue(firstIs(follower.identify(Templates.record(3), 1), enrolled.get()));
        }
    }

    // Should a later commit ever be visible before an earlier one, the
    // follower stops before the missing one and takes both once it is there.
    @Test
    void aFollowerNeverSkipsACommitThatIsNotVisibleYet() throws Exception {
        String url = newDatabase();
        try (FingerprintBase follower = FingerprintBase.open(url, user(), password(), Shard.WHOLE, 0);
                Connection raw = connect(url)) {
            raw.setAutoCommit(false);
            long a = insertTemplate(raw, "a", Templates.record(11));
            long b = insertTemplate(raw, "b", Templates.record(12));
            long n = takeCommitNumber(raw);
            long m = takeCommitNumber(raw);
            assertEquals(n + 1, m);
            logChange(raw, m, b); // the later commit only
            raw.commit();
            assertFalse(follower.poll(), "the follower went past a missing commit");
            assertTrue(follower.identify(Templates.record(12), 1).isEmpty());
            assertEquals(0, follower.count());
            logChange(raw, n, a);
            raw.commit();
            assertTrue(follower.poll());
            assertTrue(firstIs(follower.identify(Templates.record(11), 1), a));
            assertTrue(firstIs(follower.identify(Templates.record(12), 1), b));
        }
    }

    // Another process's large batch reaches a follower in pieces: a commit
    // larger than the follower takes at once, then many small ones.
    @Test
    void aLargeBatchIsFollowedWhole() throws Exception {
        String url = newDatabase();
        int large = 4 * FingerprintBase.TAKE_AT_ONCE + 100; // beyond what is taken of one commit at once
        int smallBatch = FingerprintBase.TAKE_AT_ONCE / 6; // many commits in one piece
        try (FingerprintBase writer = FingerprintBase.open(url, user(), password(), Shard.WHOLE, 0);
                FingerprintBase follower = FingerprintBase.open(url, user(), password(), Shard.WHOLE, 0)) {
            List<Enrollment> batch = new ArrayList<>();
            for (int seed = 0; seed < large; seed++) {
                batch.add(new Enrollment("b" + seed, 1, Templates.record(seed)));
            }
            long[] big = writer.enrollAll(batch);
            List<Long> small = new ArrayList<>();
            for (int k = 0; k < 15; k++) {
                List<Enrollment> few = new ArrayList<>();
                for (int j = 0; j < smallBatch; j++) {
                    few.add(new Enrollment("s" + k, 2, Templates.record(10_000 + small.size() + j)));
                }
                for (long id : writer.enrollAll(few)) {
                    small.add(id);
                }
            }
            writer.remove(big[17]);
            follower.refresh();
            assertEquals(large + small.size() - 1, follower.count());
            for (int seed = 0; seed < large; seed += 97) {
                assertTrue(firstIs(follower.identify(Templates.record(seed), 1), big[seed]), "seed " + seed);
            }
            int lastSmall = small.size() - 1;
            assertTrue(firstIs(follower.identify(Templates.record(10_000 + lastSmall), 1), small.get(lastSmall)));
            assertFalse(firstIs(follower.identify(Templates.record(17), 1), big[17]));
        }
    }

    @Test
    void aBaseOfAnEarlierVersionGainsTheLogAndKeepsEveryRow() throws Exception {
        String url = newDatabase();
        List<Long> ids = new ArrayList<>();
        try (Connection c = connect(url); Statement s = c.createStatement()) {
            for (String sql : earlierSchema()) {
                s.executeUpdate(sql);
            }
            for (int seed = 0; seed < 25; seed++) {
                ids.add(insertTemplate(c, "old" + seed, Templates.record(seed)));
            }
        }
        try (FingerprintBase base = open(url); FingerprintBase other = open(url)) {
            assertEquals(25, base.count());
            for (int seed = 0; seed < 25; seed++) {
                assertTrue(firstIs(base.identify(Templates.record(seed), 1), ids.get(seed)), "seed " + seed);
            }
            long late = base.enroll("late", 1, Templates.record(99));
            assertFalse(ids.contains(late));
            other.refresh();
            assertTrue(firstIs(other.identify(Templates.record(99), 1), late));
            assertTrue(base.remove(ids.get(3)));
            other.refresh();
            assertEquals(25, other.count());
        }
        try (Connection c = connect(url); Statement s = c.createStatement();
                ResultSet r = s.executeQuery("SELECT COUNT(*) FROM " + FingerprintBase.TABLE)) {
            assertTrue(r.next());
            assertEquals(25, r.getLong(1));
        }
    }

    @Test
    void aFollowerLeftBehindThePrunedLogReadsItsPartAgain() throws Exception {
        String url = newDatabase();
        try (FingerprintBase writer = open(url);
                FingerprintBase behind = FingerprintBase.open(url, user(), password(), Shard.WHOLE, 0);
                Connection raw = connect(url)) {
            long gone = writer.enroll("gone", 1, Templates.record(1));
            behind.refresh();
            assertEquals(1, behind.count());
            writer.remove(gone);
            long kept = writer.enroll("kept", 1, Templates.record(2));
            // As if LOG_KEEP more commits went by, the last enrolling "late",
            // and pruned the log as they do.
            raw.setAutoCommit(false);
            long late = insertTemplate(raw, "late", Templates.record(3));
            long head;
            try (Statement s = raw.createStatement()) {
                s.executeUpdate("UPDATE " + FingerprintBase.STATE_TABLE + " SET COMMIT_SEQUENCE = COMMIT_SEQUENCE + "
                        + FingerprintBase.LOG_KEEP);
            }
            head = takeCommitNumber(raw);
            logChange(raw, head, late);
            try (PreparedStatement p = raw.prepareStatement("DELETE FROM " + FingerprintBase.CHANGES_TABLE
                    + " WHERE COMMIT_SEQUENCE <= ?")) {
                p.setLong(1, head - FingerprintBase.LOG_KEEP);
                p.executeUpdate();
            }
            raw.commit();
            assertTrue(behind.poll());
            assertEquals(2, behind.count());
            assertTrue(firstIs(behind.identify(Templates.record(2), 1), kept));
            assertTrue(firstIs(behind.identify(Templates.record(3), 1), late));
            assertTrue(behind.identify(Templates.record(1), 1).isEmpty());
            // and follows on from there
            long after = writer.enroll("after", 1, Templates.record(4));
            assertTrue(behind.poll());
            assertTrue(firstIs(behind.identify(Templates.record(4), 1), after));
        }
    }

    // ---- the tables, by hand, as another writer of the protocol ----

    static long insertTemplate(Connection c, String code, byte[] template) throws SQLException {
        try (PreparedStatement p = c.prepareStatement("INSERT INTO " + FingerprintBase.TABLE
                + " (CODE, FINGER, TEMPLATE) VALUES (?, 1, ?)", new String[] {driverCase(c, "ID")})) {
            p.setString(1, code);
            p.setBytes(2, template);
            p.executeUpdate();
            try (ResultSet r = p.getGeneratedKeys()) {
                assertTrue(r.next());
                return r.getLong(1);
            }
        }
    }

    private static String driverCase(Connection c, String column) throws SQLException {
        return c.getMetaData().storesLowerCaseIdentifiers() ? column.toLowerCase(java.util.Locale.ROOT) : column;
    }

    static long takeCommitNumber(Connection c) throws SQLException {
        try (Statement s = c.createStatement()) {
            s.executeUpdate("UPDATE " + FingerprintBase.STATE_TABLE + " SET COMMIT_SEQUENCE = COMMIT_SEQUENCE + 1");
            try (ResultSet r = s.executeQuery("SELECT COMMIT_SEQUENCE FROM " + FingerprintBase.STATE_TABLE)) {
                assertTrue(r.next());
                return r.getLong(1);
            }
        }
    }

    static void logChange(Connection c, long commit, long id) throws SQLException {
        try (PreparedStatement p = c.prepareStatement("INSERT INTO " + FingerprintBase.CHANGES_TABLE
                + " (COMMIT_SEQUENCE, TEMPLATE_ID, REMOVED) VALUES (?, ?, 0)")) {
            p.setLong(1, commit);
            p.setLong(2, id);
            p.executeUpdate();
        }
    }

    static long commitOf(Connection c, long id) throws SQLException {
        try (PreparedStatement p = c.prepareStatement("SELECT COMMIT_SEQUENCE FROM " + FingerprintBase.CHANGES_TABLE
                + " WHERE TEMPLATE_ID = ?")) {
            p.setLong(1, id);
            try (ResultSet r = p.executeQuery()) {
                assertTrue(r.next());
                return r.getLong(1);
            }
        }
    }

    static Set<Long> idsIn(Connection c) throws SQLException {
        Set<Long> out = new HashSet<>();
        try (Statement s = c.createStatement();
                ResultSet r = s.executeQuery("SELECT ID FROM " + FingerprintBase.TABLE)) {
            while (r.next()) {
                out.add(r.getLong(1));
            }
        }
        return out;
    }
}
