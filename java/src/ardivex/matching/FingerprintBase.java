package ardivex.matching;

import ardivex.NativeLibrary;
import ardivex.templates.NFRecord;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.Properties;
import java.util.Set;
import java.util.SortedSet;
import java.util.TreeSet;
import java.util.UUID;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.ReentrantReadWriteLock;

/**
 * Enrolled fingerprint templates, each under a code (a person, a card...) and
 * a finger, searched by identification.
 *
 * <pre>{@code
 * try (FingerprintBase base = FingerprintBase.open(Path.of("people"))) {
 *     long id = base.enroll("ana", 1, template);
 *     for (Candidate c : base.identify(probe, 5)) {
 *         System.out.println(c.code() + " " + c.score());
 *     }
 *     base.remove(id);
 * }
 * }</pre>
 *
 * <p>The templates are stored in a database reached through JDBC with
 * standard SQL (by default an embedded H2 database in one file) and kept,
 * prepared for comparison, in native memory; an identification compares the
 * probe with every enrolled template on every core. Each change is committed
 * to the database before its method returns, so that what a method has
 * acknowledged survives the JVM being stopped at any moment.
 *
 * <p>A base kept in a file ({@link #open(Path)}) is looked at read-only
 * before it is used: a file cut short, damaged, or replaced by an older copy
 * of itself is refused with a {@link MatchingException} saying so, and left
 * byte for byte as it was. Beside {@code base.mv.db} a small file
 * {@code base.commit} records the last commit, so that a base that went back
 * in time is told from a sound one.
 *
 * <p>A row of the table that is not a readable template (written by another
 * program, or accepted by an older, less strict version) does not keep the
 * base from opening: it is left out of the search, listed by
 * {@link #unreadableIds()}, and {@link #remove(long)} deletes it.
 *
 * <p>A base on a database server ({@link #open(String, String, String)},
 * for example PostgreSQL or an H2 server) may be open in many processes on
 * many machines at once. Each follows the others' enrolls and removals
 * through a change log in the database and searches them within 2 seconds
 * (a daemon thread polls every half second); {@link #refresh()} takes them
 * in at once. Opened with a {@link Shard}, a base holds and searches only its
 * part of the templates.
 *
 * <pre>{@code
 * // at every desk
 * try (FingerprintBase base = FingerprintBase.open("jdbc:postgresql://db.example/people", "desk", secret)) {
 *     base.enroll("ana", 1, template);     // searched at the other desks within 2 s
 *     base.refresh();                      // the other desks' changes, now
 *     List<Candidate> found = base.identify(probe, 5);
 * }
 * }</pre>
 *
 * <p>Thread safety: a base may be used by many threads at once. An
 * identification runs alongside others and alongside changes to the
 * database; a change waits at most for the identifications already running
 * before it is searched, and later ones see it. An identification that
 * starts after {@link #remove(long)} returned never finds the template
 * removed. Close the base to release its native memory, its database
 * connections and, for a server base, its follower thread.
 *
 * <p><strong>H2 is not included.</strong> The default database is H2
 * ({@code com.h2database:h2:2.1.214}, the file {@code h2.jar}), which the
 * dactylink jar neither contains nor requires: its Maven dependency is
 * optional, so an application that only captures, extracts or compares does
 * not carry it. An application that keeps a base, even one made by
 * {@link #inMemory()}, must put H2 on its class path itself, with Maven:
 * <pre>{@code
 * <dependency>
 *   <groupId>com.h2database</groupId>
 *   <artifactId>h2</artifactId>
 *   <version>2.1.214</version>
 * </dependency>
 * }</pre>
 * Without it, {@link #open(Path)} and {@link #inMemory()} throw
 * {@link MatchingException} "The H2 database (h2.jar) is not on the class
 * path". Another database needs only its own JDBC driver
 * ({@link #open(String, String, String)}).
 */
public final class FingerprintBase implements AutoCloseable {
    static {
        NativeLibrary.load();
    }

    /** Name of the table of templates. */
    public static final String TABLE = "FINGERPRINT_TEMPLATES";
    /**
     * Name of the one-row table in which a base counts its commits (a base
     * kept in a file, and a server base).
     */
    public static final String STATE_TABLE = "FINGERPRINT_BASE_STATE";
    /** Name of the change log that the processes sharing a server base follow. */
    public static final String CHANGES_TABLE = "FINGERPRINT_CHANGES";
    /**
     * Longest code accepted, in UTF-16 units ({@link String#length()}), as
     * the column {@code VARCHAR(255)} counts them.
     */
    public static final int MAX_CODE_LENGTH = 255;
    /** Highest finger number; fingers are 0 to MAX_FINGER. */
    public static final int MAX_FINGER = 10;
    /**
     * Fewest minutiae of an enrolled template. The matcher scores two
     * templates 0 unless two minutiae pair, and at most 25 per paired
     * minutia; with fewer than 3 a template can never reach
     * {@code NFMatcher.threshold(1e-2)}, the lowest threshold, so it could
     * never be found.
     */
    public static final int MIN_MINUTIAE = 3;

    private static final String H2_DRIVER = "org.h2.Driver";
    // Commits between two compactions of a base kept in a file (see
    // docs/matching.md, Storage): often enough to keep the file small, rarely
    // enough that compacting costs little per commit. Counted in commits, not
    // rows, so that a large batch is compacted once.
    private static final int COMPACT_EVERY = 64;
    // The change log keeps the last LOG_KEEP commits; every PRUNE_EVERY-th
    // commit deletes older ones in its transaction. A process that falls
    // further behind (asleep, or cut off while the others went on) reads its
    // part of the base again instead.
    static final long LOG_KEEP = 10_000;
    private static final long PRUNE_EVERY = 64;
    // How often a server base looks for the other processes' changes, and
    // how often it tries again while the database cannot be reached.
    static final long FOLLOW_EVERY_MILLIS = 500;
    private static final long RETRY_EVERY_MILLIS = 2000;
    // How long a query of the follower may take before it counts as failed.
    private static final int QUERY_SECONDS = 20;
    // How long refresh() waits for a commit missing before later ones.
    private static final long GAP_WAIT_MILLIS = 2000;
    // How long the follower waits for such a commit before it reads its part
    // again. Changes commit in the order of their numbers (see commitLogged),
    // so a gap that lasts is rows deleted from the log by hand, never a commit
    // still to come.
    private static final long GAP_RELOAD_NANOS = 10_000_000_000L;
    // Rows of the log the follower reads and takes into the gallery at once.
    static final int TAKE_AT_ONCE = 256;
    private static final System.Logger LOG = System.getLogger(FingerprintBase.class.getName());

    private static final class Entry {
        final String code;
        final int finger;
        // The commit that enrolled it, or the one the base stood at when it
        // was read (0 where commits are not counted).
        final long commit;

        Entry(String code, int finger, long commit) {
            this.code = code;
            this.finger = finger;
            this.commit = commit;
        }
    }

    // A row of the change log as the follower reads it, with the template
    // when it was enrolled and is in this part of the base.
    private static final class Logged {
        final long commit;
        final long id;
        final boolean removed;
        final String code;
        final int finger;
        final byte[] template;
        byte[] block; // prepared, or null when not a readable template

        Logged(long commit, long id, boolean removed, String code, int finger, byte[] template) {
            this.commit = commit;
            this.id = id;
            this.removed = removed;
            this.code = code;
            this.finger = finger;
            this.template = template;
        }
    }

    // A change of the database waiting to reach the gallery: an added block,
    // or a removal (block null).
    private static final class Change {
        final long id;
        final byte[] block;
        boolean applied; // guarded by applying
        String failure; // guarded by applying

        Change(long id, byte[] block) {
            this.id = id;
            this.block = block;
        }
    }

    // What opening read: the gallery filled, and the rows.
    private static final class Contents {
        long gallery;
        long commit; // the commit the rows were read at (server bases)
        final Map<Long, Entry> entries = new ConcurrentHashMap<>();
        final Set<Long> unreadable = ConcurrentHashMap.newKeySet();

        Contents() throws MatchingException {
            gallery = innerCreate();
        }

        void release() {
            if (gallery != 0) {
                try {
                    innerDestroy(gallery);
                } catch (MatchingException ignored) {
                    // nothing more to release
                }
                gallery = 0;
            }
        }
    }

    // A base's commit count, as its state table holds it.
    private static final class State {
        final String baseId;
        final long commit;
        final boolean made; // just now, for a base that had none

        State(String baseId, long commit, boolean made) {
            this.baseId = baseId;
            this.commit = commit;
            this.made = made;
        }

        boolean same(State o) {
            return o != null && baseId.equals(o.baseId) && commit == o.commit;
        }
    }

    private Connection connection; // guarded by writes after opening
    private final BaseFile file; // null unless kept in a file
    private final BaseTables tables;
    private final Shard shard;
    // A server base: changes are logged and the others' followed.
    private final boolean shared;
    private final String url; // server bases: to connect again
    private final Properties properties;
    private boolean broken; // guarded by writes: `connection` failed and is opened again before the next change
    private boolean committing; // guarded by writes: the change under way asked for its commit
    // Readers: every operation; writer: close.
    private final ReentrantReadWriteLock life = new ReentrantReadWriteLock();
    // Database changes, one at a time: each commits, then queues its gallery
    // changes in `pending`, in commit order.
    private final Object writes = new Object();
    private final ArrayDeque<Change> pending = new ArrayDeque<>(); // guarded by writes
    // One thread at a time takes everything pending into the gallery, in
    // order, while the others' database changes go on: a write never holds
    // `writes` while it waits for the searches running.
    private final Object applying = new Object();
    private final Map<Long, Entry> entries;
    private final Set<Long> unreadable;
    private long gallery;
    private String baseId; // guarded by writes; file bases only
    private long commit; // guarded by writes; file bases only
    private int sinceCompaction; // guarded by writes
    // Server bases: ids removed at a commit the follower has not passed yet
    // (so that an older enroll of them, read late, is not searched again).
    private final Map<Long, Long> removedAt = new HashMap<>(); // guarded by writes

    // The follower: one poll at a time, by its thread or refresh().
    private final Object following = new Object();
    private Connection followConnection; // guarded by following
    private long position; // guarded by following: every commit up to it is in the gallery
    private long gapAt = -1; // guarded by following: the position a missing commit held the follower at
    private long gapSince; // guarded by following: since when (System.nanoTime)
    private final Object sleeping = new Object();
    private volatile boolean closing;
    private Thread follower;
    // Set by the follower when the database could not be reached: the next
    // change first checks its own connection.
    private volatile boolean outage;
    private final AtomicLong failedPolls = new AtomicLong(); // for the tests

    private FingerprintBase(Connection connection, BaseFile file, Contents checked, State checkedState, String url,
            Properties properties, Shard shard, long followEveryMillis, LoadProgress progress)
            throws MatchingException {
        this.connection = connection;
        this.file = file;
        this.url = url;
        this.properties = properties;
        this.shard = shard;
        this.shared = url != null && isServer(url);
        Contents contents = checked;
        BaseTables t = null;
        try {
            connection.setAutoCommit(false);
            t = BaseTables.of(connection);
            if (shared) {
                t.prepareShared(connection);
            }
            t.createMissing(connection, shared);
            if (file != null) {
                State s = stateOf(connection, true);
                baseId = s.baseId;
                commit = s.commit;
                if (contents != null && !(s.made ? checkedState == null : s.same(checkedState))) {
                    // Changed between the look and the opening: read it again.
                    contents.release();
                    contents = null;
                }
            }
            if (contents == null) {
                contents = new Contents();
                if (shared) {
                    // The commit first: the rows read after it hold every change up to it.
                    contents.commit = head(connection);
                }
                load(connection, contents, shard, progress);
            }
            connection.commit();
        } catch (SQLException e) {
            if (contents != null) {
                contents.release();
            }
            closeQuietly(connection);
            throw new MatchingException(file != null ? file.openFailure(e, true)
                    : "Cannot read the fingerprint base: " + e.getMessage(), e);
        } catch (MatchingException | RuntimeException e) {
            if (contents != null) {
                contents.release();
            }
            closeQuietly(connection);
            throw e;
        }
        tables = t;
        gallery = contents.gallery;
        entries = contents.entries;
        unreadable = contents.unreadable;
        position = contents.commit;
        if (file != null) {
            writeRecord();
        }
        if (shared && followEveryMillis > 0) {
            follower = new Thread(() -> follow(followEveryMillis), "dactylink base follower " + describe(url));
            follower.setDaemon(true);
            follower.start();
        }
    }

    // A database that other processes reach too: anything but H2 in this
    // process (in memory or a file, which H2 locks against other processes).
    static boolean isServer(String jdbcUrl) {
        if (!jdbcUrl.startsWith("jdbc:h2:")) {
            return true;
        }
        String rest = jdbcUrl.substring("jdbc:h2:".length());
        return rest.startsWith("tcp:") || rest.startsWith("ssl:");
    }

    // The URL without its settings, which may hold a password.
    static String describe(String jdbcUrl) {
        int end = jdbcUrl.length();
        for (char c : new char[] {'?', ';'}) {
            int k = jdbcUrl.indexOf(c);
            if (k >= 0) {
                end = Math.min(end, k);
            }
        }
        return jdbcUrl.substring(0, end);
    }

    /**
     * Opens the base stored in a file, creating it when missing. The file is
     * an H2 database: {@code base} is kept in {@code base.mv.db} (a name given
     * with the {@code .mv.db} ending means the same file), its commit record
     * in {@code base.commit} beside it. A folder that is missing is made.
     *
     * <p>The path is taken literally: one that the H2 database would read
     * otherwise (holding ';', which starts H2's settings, or, where it is a
     * letter of file names, '\') is refused.
     *
     * @param file the base's file
     * @return the open base
     * @throws MatchingException when the path is refused, the file cannot be
     *     created or opened (for example another process has it open), is
     *     damaged, is not a base, or is older than its commit record (cut
     *     short or replaced by an older copy; the message says how to accept
     *     it). An existing file is left unchanged then.
     */
    public static FingerprintBase open(Path file) throws MatchingException {
        return open(file, LoadProgress.NONE);
    }

    /**
     * Opens the base stored in a file, as {@link #open(Path)}, telling
     * {@code progress} how many of its templates have been read.
     *
     * @param file the base's file
     * @param progress told of the reading (see {@link LoadProgress})
     * @return the open base
     * @throws MatchingException as {@link #open(Path)}
     * @throws NullPointerException when progress is null
     */
    public static FingerprintBase open(Path file, LoadProgress progress) throws MatchingException {
        Objects.requireNonNull(progress, "The progress listener is null");
        BaseFile f = BaseFile.of(file);
        requireH2();
        f.claim();
        try {
            return openClaimed(f, progress);
        } catch (MatchingException | RuntimeException | Error e) {
            f.release();
            throw e;
        }
    }

    private static FingerprintBase openClaimed(BaseFile f, LoadProgress progress) throws MatchingException {
        CommitRecord recorded = CommitRecord.read(f.record);
        boolean existed = Files.exists(f.database);
        Contents checked = null;
        State checkedState = null;
        if (existed) {
            // Read-only first: a damaged file must not be written by an open that fails.
            try (Connection look = DriverManager.getConnection(f.url(), BaseFile.readOnly())) {
                look.setAutoCommit(false);
                checkedState = stateOf(look, false);
                boolean hasTable = tableExists(look, TABLE);
                long rows = hasTable ? rowCount(look, Shard.WHOLE) : 0;
                checkNotBehind(f, recorded, checkedState, rows);
                checked = new Contents();
                if (hasTable) {
                    load(look, checked, Shard.WHOLE, progress);
                }
                look.commit();
            } catch (SQLException e) {
                if (checked != null) {
                    checked.release();
                }
                throw new MatchingException(f.openFailure(e, true), e);
            } catch (MatchingException | RuntimeException e) {
                if (checked != null) {
                    checked.release();
                }
                throw e;
            }
        } else {
            if (recorded != null) {
                throw new MatchingException("The fingerprint base " + f.database + " is missing, but " + f.record
                        + " says it held " + recorded.rows + (recorded.rows == 1 ? " template" : " templates")
                        + " at commit " + recorded.commit + ". To start a new, empty base there, delete " + f.record);
            }
            f.makeFolder();
        }
        Connection c;
        try {
            c = DriverManager.getConnection(f.url(), BaseFile.writable());
        } catch (SQLException e) {
            if (checked != null) {
                checked.release();
            }
            throw new MatchingException(f.openFailure(e, existed), e);
        }
        return new FingerprintBase(c, f, checked, checkedState, null, null, Shard.WHOLE, 0, progress);
    }

    /**
     * A new empty base kept only in memory, gone when closed.
     *
     * @return the open base
     * @throws MatchingException when the embedded database cannot be started
     */
    public static FingerprintBase inMemory() throws MatchingException {
        return open("jdbc:h2:mem:", null, null, Shard.WHOLE, 0, LoadProgress.NONE);
    }

    /**
     * Opens a base in any database reachable through JDBC, for example a
     * server database that many processes share. The tables that are missing
     * are created, with the database's own binary type for the templates
     * (PostgreSQL {@code BYTEA}, H2 {@code BLOB}, others as their driver
     * names it; see docs/matching.md, Server bases); a base made by an
     * earlier version gains the tables this one adds, keeping every row.
     *
     * <p>On a server database (anything but H2 in memory or in a file: for
     * example {@code jdbc:postgresql://host/base} or
     * {@code jdbc:h2:tcp://host/base}) every process that has the base open
     * searches the others' enrolls within 2 seconds and stops finding what
     * they removed within 2 seconds, or at once after {@link #refresh()}. The
     * database's driver must be on the class path; the library brings none
     * but H2's use.
     *
     * <p>The URL is handed to the driver as it is, settings and all (H2, for
     * one, runs the SQL of an {@code INIT} setting): it must come from the
     * application, never from outside input such as a file name or a request.
     * To open a base file by its path, use {@link #open(Path)}.
     *
     * @param jdbcUrl the database's JDBC URL (its driver on the class path)
     * @param user the user, or null
     * @param password the password, or null
     * @return the open base
     * @throws MatchingException when the database cannot be reached or read,
     *     or refuses to create the tables (the message names the statements
     *     to run by hand)
     */
    public static FingerprintBase open(String jdbcUrl, String user, String password) throws MatchingException {
        return open(jdbcUrl, user, password, Shard.WHOLE);
    }

    /**
     * Opens a part of a base in a database reachable through JDBC: only the
     * templates that {@code shard} holds are read, kept and searched. The
     * processes holding the other parts search the rest; docs/matching.md
     * shows how their candidates are merged. An enroll through a part is
     * stored in the base whatever its id, and searched by the part that holds
     * it; {@link #removeCode(String)} removes the code's templates from every
     * part.
     *
     * @param jdbcUrl the database's JDBC URL (its driver on the class path;
     *     see {@link #open(String, String, String)})
     * @param user the user, or null
     * @param password the password, or null
     * @param shard the part to hold, {@link Shard#WHOLE} for all
     * @return the open base
     * @throws MatchingException when the database cannot be reached or read,
     *     or refuses to create the tables
     * @throws NullPointerException when jdbcUrl or shard is null
     */
    public static FingerprintBase open(String jdbcUrl, String user, String password, Shard shard)
            throws MatchingException {
        return open(jdbcUrl, user, password, shard, FOLLOW_EVERY_MILLIS, LoadProgress.NONE);
    }

    /**
     * Opens a base, or a part of it, in a database reachable through JDBC, as
     * {@link #open(String, String, String, Shard)}, telling {@code progress}
     * how many of its templates have been read: a base of a million takes
     * tens of seconds to open.
     *
     * <pre>{@code
     * try (FingerprintBase base = FingerprintBase.open("jdbc:postgresql://db.example/site", "desk", password,
     *         Shard.WHOLE, (read, total) -> SwingUtilities.invokeLater(
     *                 () -> bar.setValue((int) (100 * read / Math.max(1, total)))))) {
     *     ...
     * }
     * }</pre>
     *
     * @param jdbcUrl the database's JDBC URL (its driver on the class path;
     *     see {@link #open(String, String, String)})
     * @param user the user, or null
     * @param password the password, or null
     * @param shard the part to hold, {@link Shard#WHOLE} for all
     * @param progress told of the reading (see {@link LoadProgress})
     * @return the open base
     * @throws MatchingException as {@link #open(String, String, String, Shard)}
     * @throws NullPointerException when jdbcUrl, shard or progress is null
     */
    public static FingerprintBase open(String jdbcUrl, String user, String password, Shard shard,
            LoadProgress progress) throws MatchingException {
        return open(jdbcUrl, user, password, shard, FOLLOW_EVERY_MILLIS, progress);
    }

    // followEveryMillis 0: no follower thread (refresh() only), for the tests.
    static FingerprintBase open(String jdbcUrl, String user, String password, Shard shard, long followEveryMillis)
            throws MatchingException {
        return open(jdbcUrl, user, password, shard, followEveryMillis, LoadProgress.NONE);
    }

    static FingerprintBase open(String jdbcUrl, String user, String password, Shard shard, long followEveryMillis,
            LoadProgress progress) throws MatchingException {
        Objects.requireNonNull(jdbcUrl, "The JDBC URL is null");
        Objects.requireNonNull(shard, "The shard is null");
        Objects.requireNonNull(progress, "The progress listener is null");
        if (jdbcUrl.startsWith("jdbc:h2:")) {
            requireH2();
        }
        Properties p = new Properties();
        if (user != null) {
            p.setProperty("user", user);
        }
        if (password != null) {
            p.setProperty("password", password);
        }
        Connection c;
        try {
            c = DriverManager.getConnection(jdbcUrl, p);
        } catch (SQLException e) {
            throw new MatchingException("Cannot open the fingerprint base " + describe(jdbcUrl) + ": "
                    + e.getMessage(), e);
        }
        return new FingerprintBase(c, null, null, null, jdbcUrl, p, shard, followEveryMillis, progress);
    }

    private static void requireH2() throws MatchingException {
        try {
            // Registers the driver with DriverManager even when it was not
            // found through the class path's service entries.
            Class.forName(H2_DRIVER);
        } catch (ClassNotFoundException e) {
            throw new MatchingException("The H2 database (h2.jar) is not on the class path", e);
        }
    }

    private static void checkNotBehind(BaseFile f, CommitRecord recorded, State state, long rows)
            throws MatchingException {
        if (recorded == null || (state != null && !state.baseId.equals(recorded.baseId))) {
            return; // nothing recorded, or the record of another base: this one starts its own
        }
        long reached = state == null ? 0 : state.commit;
        if (reached < recorded.commit) {
            throw new MatchingException("The fingerprint base " + f.database + " is older than its last commit: it "
                    + "is at commit " + reached + " with " + rows + (rows == 1 ? " template" : " templates") + ", but "
                    + f.record + " (written after each commit) says commit " + recorded.commit + " with "
                    + recorded.rows + ". The file was cut short, damaged, or replaced by an older copy; it was left as "
                    + "it is. To use it as it is (a backup restored on purpose, say), delete " + f.record);
        }
    }

    private static boolean tableExists(Connection c, String table) throws SQLException {
        return BaseTables.tableExists(c, table);
    }

    // The rows of the part (templates and rows that are not).
    private static long rowCount(Connection c, Shard shard) throws SQLException {
        try (Statement s = c.createStatement();
                ResultSet r = s.executeQuery("SELECT COUNT(*) FROM " + TABLE + inShard(shard, "ID", "WHERE"))) {
            return r.next() ? r.getLong(1) : 0;
        }
    }

    // The commit count of a base kept in a file; with `create`, made when missing.
    private static State stateOf(Connection c, boolean create) throws SQLException {
        if (!tableExists(c, STATE_TABLE)) {
            if (!create) {
                return null;
            }
            try (Statement s = c.createStatement()) {
                s.executeUpdate("CREATE TABLE " + STATE_TABLE + " (BASE_ID VARCHAR(36) NOT NULL, "
                        + "COMMIT_SEQUENCE BIGINT NOT NULL)");
            }
        }
        try (Statement s = c.createStatement();
                ResultSet r = s.executeQuery("SELECT BASE_ID, COMMIT_SEQUENCE FROM " + STATE_TABLE)) {
            if (r.next()) {
                return new State(r.getString(1), r.getLong(2), false);
            }
        }
        if (!create) {
            return null;
        }
        State made = new State(UUID.randomUUID().toString(), 0, true);
        try (PreparedStatement p = c.prepareStatement("INSERT INTO " + STATE_TABLE + " VALUES (?, ?)")) {
            p.setString(1, made.baseId);
            p.setLong(2, made.commit);
            p.executeUpdate();
        }
        c.commit();
        return made;
    }

    // The commit a server base stands at.
    private static long head(Connection c) throws SQLException {
        try (Statement s = c.createStatement();
                ResultSet r = s.executeQuery("SELECT COMMIT_SEQUENCE FROM " + STATE_TABLE)) {
            if (!r.next()) {
                throw new SQLException("The table " + STATE_TABLE + " has no row");
            }
            long at = r.getLong(1);
            if (r.next()) {
                throw new SQLException("The table " + STATE_TABLE + " has more than one row");
            }
            return at;
        }
    }

    // " WHERE MOD(ID, k) = i" for a part of the base, "" for the whole.
    private static String inShard(Shard shard, String column, String joiner) {
        return shard.isWhole() ? "" : " " + joiner + " MOD(" + column + ", " + shard.count() + ") = " + shard.index();
    }

    // Rows a base's opening hands to its loader thread at once.
    private static final int LOAD_BATCH = 2000;

    // Rows read for the gallery, added by the loader thread.
    private static final class Rows {
        final long[] ids = new long[LOAD_BATCH];
        final String[] codes = new String[LOAD_BATCH];
        final int[] fingers = new int[LOAD_BATCH];
        final byte[][] templates = new byte[LOAD_BATCH][];
        int count;

        boolean full() {
            return count == LOAD_BATCH;
        }

        void add(long id, String code, int finger, byte[] template) {
            ids[count] = id;
            codes[count] = code;
            fingers[count] = finger;
            templates[count] = template;
            count++;
        }

        // Rows that are not templates only listed.
        void addTo(Contents into) throws MatchingException {
            boolean[] added = count == LOAD_BATCH ? innerAddAll(into.gallery, ids, templates)
                    : innerAddAll(into.gallery, Arrays.copyOf(ids, count), Arrays.copyOf(templates, count));
            for (int k = 0; k < count; k++) {
                if (added[k]) {
                    into.entries.put(ids[k], new Entry(codes[k], fingers[k], into.commit));
                } else {
                    into.unreadable.add(ids[k]);
                }
            }
        }
    }

    // Every row of the part into the gallery. The rows are read on this
    // thread and prepared (most of the time a large base takes to open) on
    // every core while it reads on.
    private static void load(Connection c, Contents into, Shard shard, LoadProgress progress)
            throws SQLException, MatchingException {
        long total = rowCount(c, shard);
        progress.loaded(0, total);
        long step = Math.max(1, Math.min(10_000, total / 100));
        long read = 0;
        long told = 0;
        try (Statement s = c.createStatement();
                BaseLoader<Rows> loader = new BaseLoader<>("dactylink base loader", rows -> rows.addTo(into))) {
            // In pieces: PostgreSQL's driver would otherwise hold the whole
            // result (every template) at once (it streams only outside
            // autocommit, as here).
            s.setFetchSize(1000);
            try (ResultSet r = s.executeQuery("SELECT ID, CODE, FINGER, TEMPLATE FROM " + TABLE
                    + inShard(shard, "ID", "WHERE") + " ORDER BY ID")) {
                Rows rows = new Rows();
                while (r.next()) {
                    long id = r.getLong(1);
                    String code = r.getString(2);
                    int finger = r.getInt(3);
                    byte[] template = r.getBytes(4);
                    if (code == null) {
                        into.unreadable.add(id);
                    } else {
                        rows.add(id, code, finger, template);
                        if (rows.full()) {
                            loader.put(rows);
                            rows = new Rows();
                        }
                    }
                    if (++read - told >= step) {
                        progress.loaded(read, total);
                        told = read;
                    }
                }
                if (rows.count > 0) {
                    loader.put(rows);
                }
            }
            loader.finish();
        }
        if (told != read || read == 0) {
            progress.loaded(read, total);
        }
    }

    static byte[] prepare(byte[] template) throws MatchingException {
        return innerPrepare(template, MIN_MINUTIAE);
    }

    static int leastUsableMinutiae() {
        return innerLeastMinutiae();
    }

    /**
     * Enrolls a template; the same code and finger enrolled again keeps both
     * templates. The template is in the database when this returns (committed:
     * durable), and every identification that starts then finds it (through
     * a {@link Shard}: the identifications of the part that holds its id).
     *
     * @param code the code to enroll under: 1 to {@value #MAX_CODE_LENGTH}
     *     UTF-16 units, no control characters (see {@link Enrollment})
     * @param finger the finger, 0 to {@value #MAX_FINGER}
     * @param template the NFRecord bytes, with at least {@value #MIN_MINUTIAE}
     *     minutiae
     * @return the id of the enrolled template
     * @throws MatchingException when the template is not a readable NFRecord
     *     or has fewer than {@value #MIN_MINUTIAE} minutiae, the base is
     *     closed or the database fails (nothing is enrolled then)
     * @throws IllegalArgumentException for a null, empty, too long or refused
     *     code or a finger outside 0 to 10
     */
    public long enroll(String code, int finger, byte[] template) throws MatchingException {
        return enrollAll(List.of(new Enrollment(code, finger, template)))[0];
    }

    /**
     * Enrolls a template, as {@link #enroll(String, int, byte[])} its bytes.
     *
     * <pre>{@code
     * NFRecord template = new NFExtractor().extract(NImage.readImage(Paths.get("ana-1.png")));
     * long id = base.enroll("ana", 1, template);
     * }</pre>
     *
     * @param code the code to enroll under (see {@link Enrollment})
     * @param finger the finger, 0 to {@value #MAX_FINGER}
     * @param template the template, with at least {@value #MIN_MINUTIAE} minutiae
     * @return the id of the enrolled template
     * @throws MatchingException as {@link #enroll(String, int, byte[])}, and
     *     when the template is null
     * @throws IllegalArgumentException as {@link #enroll(String, int, byte[])}
     */
    public long enroll(String code, int finger, NFRecord template) throws MatchingException {
        return enrollAll(List.of(new Enrollment(code, finger, template)))[0];
    }

    /**
     * Enrolls many templates in one transaction: all of them, or, when the
     * database fails, none. Much faster than one {@link #enroll} each, and a
     * base kept in a file grows by less.
     *
     * @param enrollments the templates with their codes and fingers
     * @return the ids of the enrolled templates, in the order given
     * @throws MatchingException when the base is closed or the database fails
     *     (nothing is enrolled then)
     * @throws NullPointerException when the list or one of its elements is null
     */
    public long[] enrollAll(List<Enrollment> enrollments) throws MatchingException {
        Enrollment[] batch = enrollments.toArray(new Enrollment[0]);
        for (Enrollment e : batch) {
            Objects.requireNonNull(e, "An enrollment is null");
        }
        long[] ids = new long[batch.length];
        if (batch.length == 0) {
            return ids;
        }
        life.readLock().lock();
        try {
            ensureOpen();
            List<Change> mine = new ArrayList<>(batch.length);
            synchronized (writes) {
                long at;
                try {
                    at = transact(c -> {
                    try (PreparedStatement p = tables.insertTemplate(c)) {
                        for (int k = 0; k < batch.length; k++) {
                            p.setString(1, batch[k].code());
                            p.setInt(2, batch[k].finger());
                            p.setBytes(3, batch[k].templateBytes());
                            p.executeUpdate();
                            try (ResultSet keys = p.getGeneratedKeys()) {
                                if (!keys.next()) {
                                    throw new SQLException("The database gave no id for the enrolled template");
                                }
                                ids[k] = keys.getLong(1);
                            }
                        }
                    }
                    return commitChange(c, ids, false);
                    });
                } catch (SQLException e) {
                    throw new MatchingException("Cannot enroll " + (batch.length == 1 ? "the template"
                            : "the " + batch.length + " templates") + ": " + e.getMessage(), e);
                }
                for (int k = 0; k < batch.length; k++) {
                    if (shard.holds(ids[k])) {
                        entries.put(ids[k], new Entry(batch[k].code(), batch[k].finger(), at));
                        mine.add(queue(ids[k], batch[k].block));
                    }
                }
                afterCommit();
            }
            publish(mine);
            return ids;
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * The enrolled templates scoring at least {@code NFMatcher.threshold(1e-3)}
     * against the probe, best first.
     *
     * @param template the probe's NFRecord bytes
     * @param maxCandidates the most candidates to return (0 returns none)
     * @return the candidates, best first (equal scores by id); none for a
     *     probe with fewer than {@value #MIN_MINUTIAE} minutiae
     * @throws MatchingException when the template is not a readable NFRecord
     *     or the base is closed
     */
    public List<Candidate> identify(byte[] template, int maxCandidates) throws MatchingException {
        return identify(template, maxCandidates, NFMatcher.threshold(1e-3));
    }

    /**
     * As {@link #identify(byte[], int)}, for a template.
     *
     * @param template the probe
     * @param maxCandidates the most candidates to return (0 returns none)
     * @return the candidates, best first (equal scores by id)
     * @throws MatchingException as {@link #identify(byte[], int)}, and when
     *     the template is null
     */
    public List<Candidate> identify(NFRecord template, int maxCandidates) throws MatchingException {
        return identify(bytesOf(template), maxCandidates);
    }

    /**
     * As {@link #identify(byte[], int, int)}, for a template.
     *
     * @param template the probe
     * @param maxCandidates the most candidates to return (0 returns none)
     * @param leastScore the least score of a candidate
     * @return the candidates, best first (equal scores by id)
     * @throws MatchingException as {@link #identify(byte[], int, int)}, and
     *     when the template is null
     * @throws IllegalArgumentException when maxCandidates is negative
     */
    public List<Candidate> identify(NFRecord template, int maxCandidates, int leastScore) throws MatchingException {
        return identify(bytesOf(template), maxCandidates, leastScore);
    }

    private static byte[] bytesOf(NFRecord probe) throws MatchingException {
        if (probe == null) {
            throw new MatchingException("The probe template is null");
        }
        return probe.getData();
    }

    /**
     * The enrolled templates scoring at least {@code leastScore} against the
     * probe, best first.
     *
     * @param template the probe's NFRecord bytes
     * @param maxCandidates the most candidates to return (0 returns none)
     * @param leastScore the least score of a candidate
     * @return the candidates, best first (equal scores by id)
     * @throws MatchingException when the template is not a readable NFRecord
     *     or the base is closed
     * @throws IllegalArgumentException when maxCandidates is negative
     */
    public List<Candidate> identify(byte[] template, int maxCandidates, int leastScore) throws MatchingException {
        if (maxCandidates < 0) {
            throw new IllegalArgumentException("maxCandidates is negative: " + maxCandidates);
        }
        life.readLock().lock();
        try {
            ensureOpen();
            long[] found = innerIdentify(gallery, template, maxCandidates, leastScore);
            List<Candidate> out = new ArrayList<>(found.length / 2);
            for (int k = 0; k + 1 < found.length; k += 2) {
                Entry e = entries.get(found[k]);
                if (e != null) { // null: removed while the search ran
                    out.add(new Candidate(found[k], e.code, e.finger, (int) found[k + 1]));
                }
            }
            return Collections.unmodifiableList(out);
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * Removes one template, or a row listed by {@link #unreadableIds()}. No
     * identification that starts after this returned finds it in this
     * process; in the other processes sharing a server base, none after their
     * next refresh (their follower's, within 2 seconds, or
     * {@link #refresh()}).
     *
     * @param id the id {@link #enroll} returned
     * @return whether the base held it
     * @throws MatchingException when the base is closed or the database fails
     */
    public boolean remove(long id) throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            boolean held;
            Change c;
            synchronized (writes) {
                long at;
                try {
                    // -1: the base did not hold it
                    at = transact(k -> {
                        boolean deleted;
                        try (PreparedStatement p = k.prepareStatement("DELETE FROM " + TABLE + " WHERE ID = ?")) {
                            p.setLong(1, id);
                            deleted = p.executeUpdate() > 0;
                        }
                        if (deleted) {
                            return commitChange(k, new long[] {id}, true);
                        }
                        k.commit();
                        return -1L;
                    });
                } catch (SQLException e) {
                    throw new MatchingException("Cannot remove template " + id + ": " + e.getMessage(), e);
                }
                held = at >= 0;
                forget(id, held, at);
                c = queue(id, null);
                if (held) {
                    afterCommit();
                }
            }
            publish(List.of(c));
            return held;
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * Removes every template enrolled under a code (through a {@link Shard}:
     * from every part).
     *
     * @param code the code
     * @return the number of templates removed
     * @throws MatchingException when the base is closed or the database fails
     *     (nothing is removed then)
     */
    public int removeCode(String code) throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            List<Long> ids = new ArrayList<>();
            List<Change> mine = new ArrayList<>();
            synchronized (writes) {
                long at;
                try {
                    at = transact(k -> {
                    ids.clear();
                    List<Long> found = new ArrayList<>();
                    try (PreparedStatement p = k.prepareStatement("SELECT ID FROM " + TABLE + " WHERE CODE = ?")) {
                        p.setString(1, code);
                        try (ResultSet r = p.executeQuery()) {
                            while (r.next()) {
                                found.add(r.getLong(1));
                            }
                        }
                    }
                    // By id: only the rows this transaction deleted are logged,
                    // whatever another process enrolls or removes meanwhile.
                    try (PreparedStatement p = k.prepareStatement("DELETE FROM " + TABLE + " WHERE ID = ?")) {
                        for (long id : found) {
                            p.setLong(1, id);
                            if (p.executeUpdate() > 0) {
                                ids.add(id);
                            }
                        }
                    }
                    if (ids.isEmpty()) {
                        k.commit();
                        return 0L;
                    }
                    return commitChange(k, ids.stream().mapToLong(Long::longValue).toArray(), true);
                    });
                } catch (SQLException e) {
                    ids.clear();
                    throw new MatchingException("Cannot remove the templates of " + code + ": " + e.getMessage(), e);
                }
                for (long id : ids) {
                    forget(id, true, at);
                    mine.add(queue(id, null));
                }
                if (!ids.isEmpty()) {
                    afterCommit();
                }
            }
            publish(mine);
            return ids.size();
        } finally {
            life.readLock().unlock();
        }
    }

    // Under `writes`: a removal leaves the search at once.
    private void forget(long id, boolean removed, long at) {
        entries.remove(id);
        unreadable.remove(id);
        if (shared && removed) {
            removedAt.put(id, at);
        }
    }

    /**
     * Takes in the changes that other processes sharing this server base
     * committed before this call: when it returns, identifications find what
     * they enrolled and none of what they removed. The base's follower thread
     * does the same every half second; this is for an application that wants
     * the changes now. Does nothing for a base in memory or in a file, which
     * no other process changes.
     *
     * @throws MatchingException when the base is closed or the database
     *     cannot be reached (the templates known before stay searched)
     */
    public void refresh() throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            if (!shared) {
                return;
            }
            long giveUp = System.nanoTime() + GAP_WAIT_MILLIS * 1_000_000;
            try {
                while (!poll()) {
                    // A later commit is visible before an earlier one, which
                    // the log's serialised writers should never show: wait for it.
                    if (System.nanoTime() > giveUp) {
                        throw new MatchingException("Cannot refresh the fingerprint base: commit " + (followed() + 1)
                                + " of its change log stays missing while later ones are there");
                    }
                    Thread.sleep(20);
                }
            } catch (SQLException e) {
                dropFollowConnection();
                throw new MatchingException("Cannot refresh the fingerprint base from " + describe(url) + ": "
                        + e.getMessage(), e);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                throw new MatchingException("Interrupted while refreshing the fingerprint base", e);
            }
        } finally {
            life.readLock().unlock();
        }
    }

    long failedPolls() {
        return failedPolls.get();
    }

    private long followed() {
        synchronized (following) {
            return position;
        }
    }

    /**
     * The part of the base this instance holds.
     *
     * @return the shard it was opened with, {@link Shard#WHOLE} for all
     */
    public Shard shard() {
        return shard;
    }

    /**
     * The number of enrolled templates that are searched (the rows listed by
     * {@link #unreadableIds()} are not counted).
     *
     * @return the count
     * @throws MatchingException when the base is closed
     */
    public int count() throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            return entries.size();
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * How many templates the fast search of a large base still lacks. From
     * 20,000 templates an identification ranks the templates by a cheap filter
     * first and compares only the best ranked share in full; each template's
     * filter key is made in the background when the base opens or the
     * template is enrolled, on what the cores leave idle (for a million, about
     * 40 seconds of both cores after the opening). A template without its key
     * yet is compared in full, so no identification misses it meanwhile: it is
     * only slower. 0 when every identification runs at full speed, and always
     * for a base under 20,000 templates, which is searched in full.
     *
     * <pre>{@code
     * try (FingerprintBase base = FingerprintBase.open(url, user, password)) {
     *     base.awaitIndexed(Duration.ofMinutes(2)); // before the first rush of identifications
     *     ...
     * }
     * }</pre>
     *
     * @return the templates whose filter key is not made yet
     * @throws MatchingException when the base is closed
     */
    public long indexPending() throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            return innerKeysPending(gallery);
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * Waits until {@link #indexPending()} is 0, or the timeout has passed.
     * Identifications, enrolls and removals may run meanwhile.
     *
     * @param timeout the longest wait
     * @return whether every identification now runs at full speed
     * @throws MatchingException when the base is closed meanwhile
     * @throws InterruptedException when the thread is interrupted while it waits
     */
    public boolean awaitIndexed(java.time.Duration timeout) throws MatchingException, InterruptedException {
        long until = System.nanoTime() + timeout.toNanos();
        while (indexPending() > 0) {
            long left = until - System.nanoTime();
            if (left <= 0) {
                return false;
            }
            Thread.sleep(Math.max(1, Math.min(50, left / 1_000_000)));
        }
        return true;
    }

    /**
     * The ids of the rows of the table that are not readable templates, found
     * when the base was opened: they are left out of the search until
     * {@link #remove(long)} deletes them.
     *
     * @return the ids, in ascending order (empty for a sound base)
     * @throws MatchingException when the base is closed
     */
    public SortedSet<Long> unreadableIds() throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            return Collections.unmodifiableSortedSet(new TreeSet<>(unreadable));
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * Closes the base: releases its native memory and its database
     * connection. Waits for operations under way; later calls do nothing.
     *
     * @throws MatchingException when the database fails to close
     */
    @Override
    public void close() throws MatchingException {
        stopFollowing();
        life.writeLock().lock();
        try {
            if (gallery != 0) {
                innerDestroy(gallery);
                gallery = 0;
                try {
                    synchronized (writes) {
                        connection.close();
                    }
                } catch (SQLException e) {
                    if (url != null && isServer(url)) {
                        return; // every change was committed or rolled back: the server drops the session
                    }
                    throw new MatchingException("Cannot close the fingerprint base: " + e.getMessage(), e);
                } finally {
                    if (file != null) {
                        file.release();
                    }
                }
            }
        } finally {
            life.writeLock().unlock();
        }
    }

    // ---- following the other processes ----

    // The follower thread: polls, and while the database cannot be reached
    // keeps searching what it knew, tries again, and says so once.
    private void follow(long everyMillis) {
        boolean failing = false;
        while (!closing) {
            synchronized (sleeping) {
                try {
                    if (!closing) {
                        sleeping.wait(failing ? RETRY_EVERY_MILLIS : everyMillis);
                    }
                } catch (InterruptedException e) {
                    return;
                }
            }
            if (closing) {
                return;
            }
            life.readLock().lock();
            try {
                if (gallery == 0) {
                    return;
                }
                poll();
                if (failing) {
                    failing = false;
                    LOG.log(System.Logger.Level.INFO, "The fingerprint base " + describe(url)
                            + " is reached again; its changes are followed from commit " + followed());
                }
            } catch (SQLException | MatchingException | RuntimeException e) {
                dropFollowConnection();
                outage = true;
                failedPolls.incrementAndGet();
                if (!failing && !closing) {
                    failing = true;
                    LOG.log(System.Logger.Level.WARNING, "Cannot follow the changes of the fingerprint base "
                            + describe(url) + " (" + BaseFile.firstLine(e) + "): searching the templates known at "
                            + "commit " + followed() + ", and trying again every " + RETRY_EVERY_MILLIS / 1000
                            + " s. Said once until it is reached again.");
                }
            } finally {
                life.readLock().unlock();
            }
        }
    }

    private void stopFollowing() {
        Thread t = follower;
        if (t == null) {
            return;
        }
        closing = true;
        synchronized (sleeping) {
            sleeping.notifyAll();
        }
        if (t != Thread.currentThread()) {
            try {
                // A poll in flight ends within its query time; a close never
                // waits longer, and the thread then finds the base closed.
                t.join((QUERY_SECONDS + 5) * 1000L);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }
        dropFollowConnection();
    }

    private void dropFollowConnection() {
        Connection c;
        synchronized (following) {
            c = followConnection;
            followConnection = null;
        }
        if (c != null) {
            closeQuietly(c);
        }
    }

    // Under `following`.
    private Connection followConnection() throws SQLException {
        if (followConnection == null) {
            Connection c = DriverManager.getConnection(url, properties);
            try {
                // In a transaction, so that PostgreSQL's driver streams the
                // rows (fetch size) instead of holding the whole result.
                c.setAutoCommit(false);
            } catch (SQLException e) {
                closeQuietly(c);
                throw e;
            }
            followConnection = c;
        }
        return followConnection;
    }

    /**
     * Reads the change log past the last commit followed, in one indexed
     * query, and takes the changes into the gallery in commit order. Stops
     * before a missing commit: true when none is missing.
     */
    boolean poll() throws SQLException, MatchingException {
        synchronized (following) {
            Connection c = followConnection();
            try {
                boolean whole = pollOn(c);
                if (whole) {
                    gapAt = -1;
                }
                return whole;
            } finally {
                try {
                    c.rollback(); // it only read: ends the transaction that let the rows stream
                } catch (SQLException broken) {
                    // the poll's own failure, if any, is the one to report; the next poll finds out
                }
            }
        }
    }

    // Under `following`: one poll on `c`.
    private boolean pollOn(Connection c) throws SQLException, MatchingException {
        long from = position;
        List<Logged> rows = new ArrayList<>();
        boolean whole = true;
        boolean any = false;
        long last = from;
        try (PreparedStatement p = c.prepareStatement("SELECT c.COMMIT_SEQUENCE, c.TEMPLATE_ID, c.REMOVED, "
                + "t.CODE, t.FINGER, t.TEMPLATE FROM " + CHANGES_TABLE + " c LEFT JOIN " + TABLE
                + " t ON t.ID = c.TEMPLATE_ID AND c.REMOVED = 0" + inShard(shard, "t.ID", "AND")
                + " WHERE c.COMMIT_SEQUENCE > ? ORDER BY c.COMMIT_SEQUENCE, c.TEMPLATE_ID")) {
            p.setQueryTimeout(QUERY_SECONDS);
            p.setFetchSize(TAKE_AT_ONCE);
            p.setLong(1, from);
            try (ResultSet r = p.executeQuery()) {
                while (r.next()) {
                    long at = r.getLong(1);
                    if (at != last && at != last + 1) {
                        whole = false; // commit last + 1 is not there (yet)
                        break;
                    }
                    if (rows.size() >= TAKE_AT_ONCE && at != last) {
                        // A large batch of another process in pieces: every
                        // commit before `at` is whole.
                        take(rows, last);
                        rows.clear();
                    }
                    last = at;
                    any = true;
                    rows.add(new Logged(at, r.getLong(2), r.getInt(3) != 0, r.getString(4), r.getInt(5),
                            r.getBytes(6)));
                    if (rows.size() >= 4 * TAKE_AT_ONCE) {
                        // One commit of many rows: taken so far, its commit
                        // not passed until its last row is.
                        take(rows, at - 1);
                        rows.clear();
                    }
                }
            }
        }
        if (!whole && !any) {
            long now = System.nanoTime();
            if (gapAt != from) {
                gapAt = from;
                gapSince = now;
            }
            boolean pruned = from < head(c) - LOG_KEEP;
            if (pruned || now - gapSince > GAP_RELOAD_NANOS) {
                // The commit after this process's is gone from the log: read
                // the part again.
                if (!pruned) {
                    LOG.log(System.Logger.Level.WARNING, "The change log of the fingerprint base " + describe(url)
                            + " lacks commit " + (from + 1) + " while later ones are there (rows deleted by "
                            + "hand?): its templates are read again");
                }
                reload(c);
                return true;
            }
        }
        take(rows, last);
        return whole;
    }

    private static byte[] prepareOrNull(byte[] template) {
        try {
            return innerPrepare(template, 0);
        } catch (MatchingException notATemplate) {
            return null;
        }
    }

    // Under `following`: logged changes into the gallery, every commit up to
    // `upTo` whole among them. Taking a change twice does nothing more.
    private void take(List<Logged> rows, long upTo) throws MatchingException {
        for (Logged l : rows) {
            if (l.template != null && !l.removed && shard.holds(l.id)) {
                l.block = prepareOrNull(l.template);
            }
        }
        List<Change> mine = new ArrayList<>();
        synchronized (writes) {
            for (Logged l : rows) {
                if (!shard.holds(l.id)) {
                    continue;
                }
                if (l.removed) {
                    removedAt.merge(l.id, l.commit, Math::max);
                    unreadable.remove(l.id);
                    if (entries.remove(l.id) != null) {
                        mine.add(queue(l.id, null));
                    }
                } else if (l.template != null && !entries.containsKey(l.id) && !removedAt.containsKey(l.id)
                        && !unreadable.contains(l.id)) {
                    // (No template: removed since; its removal follows in the log.)
                    if (l.block == null || l.code == null) {
                        unreadable.add(l.id);
                    } else {
                        entries.put(l.id, new Entry(l.code, l.finger, l.commit));
                        mine.add(queue(l.id, l.block));
                    }
                }
            }
            removedAt.values().removeIf(at -> at <= upTo);
        }
        position = Math.max(position, upTo);
        publish(mine);
    }

    // Under `following`: the part of the base read whole, and the gallery made
    // to agree with it, keeping this process's own later changes.
    private void reload(Connection c) throws SQLException, MatchingException {
        long at = head(c);
        Set<Long> present = new HashSet<>();
        List<Logged> rows = new ArrayList<>();
        try (Statement s = c.createStatement()) {
            s.setQueryTimeout(QUERY_SECONDS * 10);
            s.setFetchSize(TAKE_AT_ONCE);
            try (ResultSet r = s.executeQuery("SELECT ID, CODE, FINGER, TEMPLATE FROM " + TABLE
                    + inShard(shard, "ID", "WHERE"))) {
                while (r.next()) {
                    Logged l = new Logged(at, r.getLong(1), false, r.getString(2), r.getInt(3), r.getBytes(4));
                    present.add(l.id);
                    rows.add(l);
                    if (rows.size() == TAKE_AT_ONCE) {
                        take(rows, position);
                        rows.clear();
                    }
                }
            }
        }
        take(rows, position);
        List<Change> mine = new ArrayList<>();
        synchronized (writes) {
            for (Map.Entry<Long, Entry> e : entries.entrySet()) {
                if (!present.contains(e.getKey()) && e.getValue().commit <= at) {
                    entries.remove(e.getKey());
                    mine.add(queue(e.getKey(), null));
                }
            }
            unreadable.removeIf(id -> !present.contains(id));
            removedAt.values().removeIf(r -> r <= at);
        }
        position = at;
        publish(mine);
    }

    // ---- changes ----

    // Under `writes`: the connection for a change, opened again after a
    // failure broke it (a server restarted, a network cut).
    private Connection writable() throws SQLException {
        if (outage) {
            outage = false;
            broken |= !connection.isValid(5);
        }
        if (broken) {
            Connection c = DriverManager.getConnection(url, properties);
            try {
                c.setAutoCommit(false);
                tables.prepareShared(c);
            } catch (SQLException e) {
                closeQuietly(c);
                throw e;
            }
            closeQuietly(connection);
            connection = c;
            broken = false;
        }
        return connection;
    }

    private interface Work {
        long run(Connection c) throws SQLException;
    }

    // Under `writes`: runs a change's transaction. On a server base whose
    // connection was lost before the commit was asked for (a server restarted,
    // a network cut), nothing of it was committed: it runs once more on a new
    // connection. A failure during the commit is reported, since it may have
    // been committed after all.
    private long transact(Work work) throws SQLException {
        for (int attempt = 0;; attempt++) {
            Connection c = writable();
            committing = false;
            try {
                return work.run(c);
            } catch (SQLException e) {
                rollbackQuietly();
                if (url != null && isServer(url)) {
                    boolean lost;
                    try {
                        lost = !c.isValid(5);
                    } catch (SQLException invalid) {
                        lost = true;
                    }
                    broken |= lost;
                    if (lost && !committing && attempt == 0) {
                        continue;
                    }
                }
                throw e;
            }
        }
    }

    // Commits the transaction under way (whose rows `ids` were enrolled or
    // removed), returning its commit number: counted in a file base, and in a
    // server base also logged for the other processes. 0 for a base in memory.
    private long commitChange(Connection c, long[] ids, boolean removed) throws SQLException {
        if (shared) {
            return commitLogged(c, ids, removed);
        }
        if (file != null) {
            try (PreparedStatement p = c.prepareStatement(
                    "UPDATE " + STATE_TABLE + " SET COMMIT_SEQUENCE = ?")) {
                p.setLong(1, commit + 1);
                p.executeUpdate();
            }
        }
        committing = true;
        c.commit();
        if (file != null) {
            commit++;
        }
        return commit;
    }

    // The commit number is taken by updating the one state row, last before
    // committing: the row stays locked until the commit, so the processes'
    // changes commit one after the other in the order of their numbers, and a
    // follower that sees commit n sees every commit before it. (A database
    // sequence would not do: its numbers are handed out in one order and
    // committed in another.)
    private long commitLogged(Connection c, long[] ids, boolean removed) throws SQLException {
        long at;
        try (Statement s = c.createStatement()) {
            int rows = s.executeUpdate("UPDATE " + STATE_TABLE + " SET COMMIT_SEQUENCE = COMMIT_SEQUENCE + 1");
            if (rows != 1) {
                throw new SQLException("The table " + STATE_TABLE + " has " + rows + " rows instead of one");
            }
        }
        at = head(c);
        try (PreparedStatement p = c.prepareStatement("INSERT INTO " + CHANGES_TABLE
                + " (COMMIT_SEQUENCE, TEMPLATE_ID, REMOVED) VALUES (?, ?, ?)")) {
            for (long id : ids) {
                p.setLong(1, at);
                p.setLong(2, id);
                p.setInt(3, removed ? 1 : 0);
                p.addBatch();
            }
            p.executeBatch();
        }
        if (at % PRUNE_EVERY == 0 && at > LOG_KEEP) {
            try (PreparedStatement p = c.prepareStatement("DELETE FROM " + CHANGES_TABLE
                    + " WHERE COMMIT_SEQUENCE <= ?")) {
                p.setLong(1, at - LOG_KEEP);
                p.executeUpdate();
            }
        }
        committing = true;
        c.commit();
        return at;
    }

    // After a commit, under `writes`: the record beside a file base, and now
    // and then a compaction.
    private void afterCommit() {
        if (file == null) {
            return;
        }
        writeRecord();
        sinceCompaction++;
        if (sinceCompaction >= COMPACT_EVERY) {
            sinceCompaction = 0;
            try (Statement s = connection.createStatement()) {
                s.execute("CHECKPOINT");
            } catch (SQLException ignored) {
                // only the file's size suffers; the next compaction tries again
            }
        }
    }

    private void writeRecord() {
        try {
            new CommitRecord(baseId, commit, (long) entries.size() + unreadable.size()).write(file.record);
        } catch (IOException ignored) {
            // The commit stands; a record left behind is only less strict, and
            // the next commit writes it again.
        }
    }

    private void rollbackQuietly() {
        try {
            connection.rollback();
        } catch (SQLException ignored) {
            // the first failure is the one to report
        }
    }

    // Under `writes`, right after the commit: queued in commit order.
    private Change queue(long id, byte[] block) {
        Change c = new Change(id, block);
        pending.add(c);
        return c;
    }

    // Brings the gallery up to the changes queued so far, `mine` among them.
    private void publish(List<Change> mine) throws MatchingException {
        if (mine.isEmpty()) {
            return;
        }
        String failure = null;
        synchronized (applying) {
            if (!mine.get(mine.size() - 1).applied) {
                List<Change> batch;
                synchronized (writes) {
                    batch = new ArrayList<>(pending);
                    pending.clear();
                }
                apply(batch);
            }
            for (Change c : mine) {
                if (c.failure != null) {
                    failure = c.failure;
                    break;
                }
            }
        }
        if (failure != null) {
            throw new MatchingException(failure);
        }
    }

    // Under `applying`.
    private void apply(List<Change> batch) {
        int n = batch.size();
        long[] ids = new long[n];
        byte[][] blocks = new byte[n][];
        for (int k = 0; k < n; k++) {
            ids[k] = batch.get(k).id;
            blocks[k] = batch.get(k).block;
        }
        int[] progress = {0};
        int from = 0;
        while (from < n) {
            progress[0] = from;
            try {
                innerApply(gallery, ids, blocks, progress);
                from = n;
            } catch (MatchingException e) {
                int failed = progress[0] >= from && progress[0] < n ? progress[0] : from;
                Change c = batch.get(failed);
                c.failure = "Template " + c.id + (c.block != null ? " is enrolled in the database but cannot be "
                        + "searched until the base is opened again: " : " is removed from the database but may still "
                        + "be found until the base is opened again: ") + e.getMessage();
                from = failed + 1;
            }
        }
        for (Change c : batch) {
            c.applied = true;
        }
    }

    private void ensureOpen() throws MatchingException {
        if (gallery == 0) {
            throw new MatchingException("The fingerprint base is closed");
        }
    }

    private static void closeQuietly(Connection c) {
        try {
            c.close();
        } catch (SQLException ignored) {
            // the failure that made the base unusable is the one reported
        }
    }

    private static native byte[] innerPrepare(byte[] template, int leastMinutiae) throws MatchingException;

    private static native int innerLeastMinutiae();

    private static native long innerKeysPending(long gallery);

    private static native long innerCreate() throws MatchingException;

    private static native void innerDestroy(long gallery) throws MatchingException;

    // For each template whether it was added (false: not a template, or the id already there).
    private static native boolean[] innerAddAll(long gallery, long[] ids, byte[][] templates) throws MatchingException;

    // progress[0]: on entry the first change to make, on return (or failure)
    // the first not made.
    private static native void innerApply(long gallery, long[] ids, byte[][] blocks, int[] progress)
            throws MatchingException;

    private static native long[] innerIdentify(long gallery, byte[] template, int maxCandidates, int leastScore)
            throws MatchingException;
}
