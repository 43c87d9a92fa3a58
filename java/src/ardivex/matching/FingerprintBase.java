package ardivex.matching;

import ardivex.NativeLibrary;

import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DatabaseMetaData;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.locks.ReentrantReadWriteLock;

/**
 * Enrolled fingerprint templates, each under a code (a person, a card...) and
 * a finger, searched by identification.
 *
 * <p>The templates are stored in a database reached through JDBC with
 * standard SQL (by default an embedded H2 database in one file) and kept,
 * prepared for comparison, in native memory; an identification compares the
 * probe with every enrolled template on every core. Each change is committed
 * to the database before its method returns, so that what a method has
 * acknowledged survives the JVM being stopped at any moment.
 *
 * <p>A base may be used by many threads at once. Close it to release its
 * native memory and its database connection.
 */
public final class FingerprintBase implements AutoCloseable {
    static {
        NativeLibrary.load();
    }

    /** Name of the table of templates. */
    public static final String TABLE = "FINGERPRINT_TEMPLATES";
    /** Longest code accepted, in characters. */
    public static final int MAX_CODE_LENGTH = 255;
    /** Highest finger number; fingers are 0 to MAX_FINGER. */
    public static final int MAX_FINGER = 10;

    private static final String H2_DRIVER = "org.h2.Driver";

    private static final class Entry {
        final String code;
        final int finger;

        Entry(String code, int finger) {
            this.code = code;
            this.finger = finger;
        }
    }

    private final Connection connection;
    // Readers: every operation; writer: close. Database changes are further
    // serialised on `writes`, so that the database and the native gallery
    // change in the same order.
    private final ReentrantReadWriteLock life = new ReentrantReadWriteLock();
    private final Object writes = new Object();
    private final Map<Long, Entry> entries = new ConcurrentHashMap<>();
    private long gallery;

    private FingerprintBase(Connection connection) throws MatchingException {
        this.connection = connection;
        try {
            connection.setAutoCommit(true);
            createTableIfMissing();
            gallery = innerCreate();
            load();
        } catch (SQLException e) {
            releaseQuietly();
            throw new MatchingException("Cannot read the fingerprint base: " + e.getMessage(), e);
        } catch (MatchingException | RuntimeException e) {
            releaseQuietly();
            throw e;
        }
    }

    /**
     * Opens the base stored in a file, creating it when missing. The file is
     * an H2 database: {@code base} is kept in {@code base.mv.db} (a name given
     * with the {@code .mv.db} ending means the same file).
     *
     * @param file the base's file
     * @return the open base
     * @throws MatchingException when the file cannot be opened (for example
     *     another process has it open) or holds no readable base
     */
    public static FingerprintBase open(Path file) throws MatchingException {
        String name = file.toAbsolutePath().toString();
        if (name.endsWith(".mv.db")) {
            name = name.substring(0, name.length() - ".mv.db".length());
        }
        // WRITE_DELAY=0: a commit reaches the file before it returns.
        return open("jdbc:h2:file:" + name + ";WRITE_DELAY=0", null, null);
    }

    /**
     * A new empty base kept only in memory, gone when closed.
     *
     * @return the open base
     * @throws MatchingException when the embedded database cannot be started
     */
    public static FingerprintBase inMemory() throws MatchingException {
        return open("jdbc:h2:mem:", null, null);
    }

    /**
     * Opens a base in any database reachable through JDBC, for example a
     * server database for a base that outgrows one machine. The table
     * {@value #TABLE} is created when missing; see docs/matching.md for
     * creating it beforehand with the database's own binary type.
     *
     * @param jdbcUrl the database's JDBC URL (its driver on the class path)
     * @param user the user, or null
     * @param password the password, or null
     * @return the open base
     * @throws MatchingException when the database cannot be reached or read
     */
    public static FingerprintBase open(String jdbcUrl, String user, String password) throws MatchingException {
        if (jdbcUrl.startsWith("jdbc:h2:")) {
            try {
                // Registers the driver with DriverManager even when it was not
                // found through the class path's service entries.
                Class.forName(H2_DRIVER);
            } catch (ClassNotFoundException e) {
                throw new MatchingException("The H2 database (h2.jar) is not on the class path", e);
            }
        }
        Connection c;
        try {
            c = user == null ? DriverManager.getConnection(jdbcUrl) : DriverManager.getConnection(jdbcUrl, user, password);
        } catch (SQLException e) {
            throw new MatchingException("Cannot open the fingerprint base " + jdbcUrl + ": " + e.getMessage(), e);
        }
        return new FingerprintBase(c);
    }

    private void createTableIfMissing() throws SQLException {
        DatabaseMetaData meta = connection.getMetaData();
        for (String name : new String[] {TABLE, TABLE.toLowerCase(java.util.Locale.ROOT)}) {
            try (ResultSet r = meta.getTables(null, null, name, new String[] {"TABLE"})) {
                if (r.next()) {
                    return;
                }
            }
        }
        try (Statement s = connection.createStatement()) {
            s.executeUpdate("CREATE TABLE " + TABLE + " ("
                    + "ID BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
                    + "CODE VARCHAR(" + MAX_CODE_LENGTH + ") NOT NULL, "
                    + "FINGER SMALLINT NOT NULL, "
                    + "TEMPLATE BLOB NOT NULL)");
            s.executeUpdate("CREATE INDEX " + TABLE + "_CODE ON " + TABLE + " (CODE)");
        }
    }

    private void load() throws SQLException, MatchingException {
        try (Statement s = connection.createStatement();
                ResultSet r = s.executeQuery("SELECT ID, CODE, FINGER, TEMPLATE FROM " + TABLE + " ORDER BY ID")) {
            while (r.next()) {
                long id = r.getLong(1);
                byte[] template = r.getBytes(4);
                try {
                    innerAdd(gallery, id, template);
                } catch (MatchingException e) {
                    throw new MatchingException("Template " + id + " of the base is not readable: " + e.getMessage(), e);
                }
                entries.put(id, new Entry(r.getString(2), r.getInt(3)));
            }
        }
    }

    /**
     * Enrolls a template; the same code and finger enrolled again keeps both
     * templates. The template is in the database when this returns.
     *
     * @param code the code to enroll under (1 to {@value #MAX_CODE_LENGTH} characters)
     * @param finger the finger, 0 to {@value #MAX_FINGER}
     * @param template the NFRecord bytes
     * @return the id of the enrolled template
     * @throws MatchingException when the template is not a readable NFRecord,
     *     the base is closed or the database fails (nothing is enrolled then)
     * @throws IllegalArgumentException for a null, empty or too long code or a
     *     finger outside 0 to 10
     */
    public long enroll(String code, int finger, byte[] template) throws MatchingException {
        if (code == null || code.isEmpty() || code.length() > MAX_CODE_LENGTH) {
            throw new IllegalArgumentException("The code must have 1 to " + MAX_CODE_LENGTH + " characters");
        }
        if (finger < 0 || finger > MAX_FINGER) {
            throw new IllegalArgumentException("The finger must be 0 to " + MAX_FINGER + ", not " + finger);
        }
        innerCheck(template);
        life.readLock().lock();
        try {
            ensureOpen();
            synchronized (writes) {
                long id;
                try (PreparedStatement p = connection.prepareStatement(
                        "INSERT INTO " + TABLE + " (CODE, FINGER, TEMPLATE) VALUES (?, ?, ?)",
                        Statement.RETURN_GENERATED_KEYS)) {
                    p.setString(1, code);
                    p.setInt(2, finger);
                    p.setBytes(3, template);
                    p.executeUpdate();
                    try (ResultSet keys = p.getGeneratedKeys()) {
                        if (!keys.next()) {
                            throw new MatchingException("The database gave no id for the enrolled template");
                        }
                        id = keys.getLong(1);
                    }
                } catch (SQLException e) {
                    throw new MatchingException("Cannot enroll the template: " + e.getMessage(), e);
                }
                entries.put(id, new Entry(code, finger));
                innerAdd(gallery, id, template);
                return id;
            }
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
     * @return the candidates, best first (equal scores by id)
     * @throws MatchingException when the template is not a readable NFRecord
     *     or the base is closed
     */
    public List<Candidate> identify(byte[] template, int maxCandidates) throws MatchingException {
        return identify(template, maxCandidates, NFMatcher.threshold(1e-3));
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
     * Removes one template.
     *
     * @param id the id {@link #enroll} returned
     * @return whether it was enrolled
     * @throws MatchingException when the base is closed or the database fails
     */
    public boolean remove(long id) throws MatchingException {
        life.readLock().lock();
        try {
            ensureOpen();
            synchronized (writes) {
                int n;
                try (PreparedStatement p = connection.prepareStatement("DELETE FROM " + TABLE + " WHERE ID = ?")) {
                    p.setLong(1, id);
                    n = p.executeUpdate();
                } catch (SQLException e) {
                    throw new MatchingException("Cannot remove template " + id + ": " + e.getMessage(), e);
                }
                innerRemove(gallery, id);
                entries.remove(id);
                return n > 0;
            }
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * Removes every template enrolled under a code.
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
            synchronized (writes) {
                List<Long> ids = new ArrayList<>();
                try {
                    connection.setAutoCommit(false);
                    try (PreparedStatement p = connection.prepareStatement("SELECT ID FROM " + TABLE + " WHERE CODE = ?")) {
                        p.setString(1, code);
                        try (ResultSet r = p.executeQuery()) {
                            while (r.next()) {
                                ids.add(r.getLong(1));
                            }
                        }
                    }
                    try (PreparedStatement p = connection.prepareStatement("DELETE FROM " + TABLE + " WHERE CODE = ?")) {
                        p.setString(1, code);
                        p.executeUpdate();
                    }
                    connection.commit();
                } catch (SQLException e) {
                    try {
                        connection.rollback();
                    } catch (SQLException ignored) {
                        // the first failure is the one to report
                    }
                    throw new MatchingException("Cannot remove the templates of " + code + ": " + e.getMessage(), e);
                } finally {
                    try {
                        connection.setAutoCommit(true);
                    } catch (SQLException ignored) {
                        // reported by the next operation
                    }
                }
                for (long id : ids) {
                    innerRemove(gallery, id);
                    entries.remove(id);
                }
                return ids.size();
            }
        } finally {
            life.readLock().unlock();
        }
    }

    /**
     * The number of enrolled templates.
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
     * Closes the base: releases its native memory and its database
     * connection. Waits for operations under way; later calls do nothing.
     *
     * @throws MatchingException when the database fails to close
     */
    @Override
    public void close() throws MatchingException {
        life.writeLock().lock();
        try {
            if (gallery != 0) {
                release();
            }
        } finally {
            life.writeLock().unlock();
        }
    }

    private void release() throws MatchingException {
        if (gallery != 0) {
            innerDestroy(gallery);
            gallery = 0;
        }
        try {
            connection.close();
        } catch (SQLException e) {
            throw new MatchingException("Cannot close the fingerprint base: " + e.getMessage(), e);
        }
    }

    private void releaseQuietly() {
        try {
            release();
        } catch (MatchingException ignored) {
            // the failure that made the base unusable is the one reported
        }
    }

    private void ensureOpen() throws MatchingException {
        if (gallery == 0) {
            throw new MatchingException("The fingerprint base is closed");
        }
    }

    private static native void innerCheck(byte[] template) throws MatchingException;

    private static native long innerCreate() throws MatchingException;

    private static native void innerDestroy(long gallery) throws MatchingException;

    private static native void innerAdd(long gallery, long id, byte[] template) throws MatchingException;

    private static native boolean innerRemove(long gallery, long id) throws MatchingException;

    private static native long[] innerIdentify(long gallery, byte[] template, int maxCandidates, int leastScore)
            throws MatchingException;
}
