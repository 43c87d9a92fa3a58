package ardivex.matching;

import java.io.IOException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.SQLException;
import java.util.ArrayDeque;
import java.util.Deque;
import java.util.Properties;
import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;

/**
 * A base kept in an H2 file: the file, the name H2 is given for it, and the
 * commit record beside it. H2 is handed the name after {@code jdbc:h2:file:}
 * and every setting as a connection property, so that no part of a path can
 * become a setting; a path that H2 would not take literally is refused.
 */
final class BaseFile {
    /** The ending H2 gives a base's file. */
    static final String ENDING = ".mv.db";
    /** The ending of the commit record beside it. */
    static final String RECORD_ENDING = ".commit";

    /** H2's code for a database that another process holds open. */
    private static final int H2_ALREADY_OPEN = 90020;
    // Files whose read-only look failed in this process. H2 may keep such a
    // file locked until the process ends, and then says it is in use.
    private static final Set<Path> FAILED_HERE = ConcurrentHashMap.newKeySet();
    // Files open as bases in this process. H2 lets a second connection in, but
    // two bases on one file would each count its commits, and their record
    // would then tell of damage that is not there.
    private static final Set<Path> OPEN_HERE = ConcurrentHashMap.newKeySet();

    final Path database;
    final Path record;
    final Path folder;
    private final String name;

    private BaseFile(Path folder, String stem) {
        this.folder = folder;
        this.database = folder.resolve(stem + ENDING);
        this.record = folder.resolve(stem + RECORD_ENDING);
        this.name = folder.resolve(stem).toString();
    }

    /**
     * The base file a path names: {@code people} and {@code people.mv.db}
     * both name {@code people.mv.db}.
     *
     * @throws MatchingException when the path names no file, or holds a
     *     character that H2 reads as something else than part of a name
     */
    static BaseFile of(Path given) throws MatchingException {
        Path absolute = given.toAbsolutePath();
        String file = absolute.getFileName() == null ? "" : absolute.getFileName().toString();
        String stem = file.endsWith(ENDING) ? file.substring(0, file.length() - ENDING.length()) : file;
        if (stem.isEmpty() || stem.equals(".") || stem.equals("..") || absolute.getParent() == null) {
            throw new MatchingException("\"" + given + "\" names no base file");
        }
        BaseFile f = new BaseFile(resolved(absolute.getParent()), stem);
        refuseSpecial(given, f.name);
        return f;
    }

    // H2 folds "a/../b" by its letters; the system follows "a" when it is a
    // link. The folder is resolved as the system does, so that both agree.
    private static Path resolved(Path folder) {
        Deque<Path> missing = new ArrayDeque<>();
        Path existing = folder;
        while (existing != null && !Files.exists(existing)) {
            missing.push(existing.getFileName());
            existing = existing.getParent();
        }
        Path out;
        try {
            out = existing == null ? folder : existing.toRealPath();
        } catch (IOException e) {
            out = existing;
        }
        while (!missing.isEmpty()) {
            out = out.resolve(missing.pop());
        }
        return out.normalize();
    }

    private static void refuseSpecial(Path given, String name) throws MatchingException {
        if (name.indexOf(';') >= 0) {
            throw new MatchingException("The base path " + given + " holds ';', which the H2 database reads as the "
                    + "start of its settings: name the base or its folder without it");
        }
        // Where '\' is a letter of names, H2 still reads it as a folder separator.
        if (!FileSystems.getDefault().getSeparator().equals("\\") && name.indexOf('\\') >= 0) {
            throw new MatchingException("The base path " + given + " holds '\\', which the H2 database reads as a "
                    + "folder separator: name the base or its folder without it");
        }
    }

    /**
     * Marks the file open in this process, until {@link #release()}.
     *
     * @throws MatchingException when it is open already
     */
    void claim() throws MatchingException {
        if (!OPEN_HERE.add(database)) {
            throw new MatchingException("The fingerprint base " + database + " is open already in this process: "
                    + "share that FingerprintBase (any thread may use it)");
        }
    }

    void release() {
        OPEN_HERE.remove(database);
    }

    /** The JDBC URL: the name alone, with no settings. */
    String url() {
        return "jdbc:h2:file:" + name;
    }

    /**
     * Settings of a base open for use. WRITE_DELAY=0: each commit reaches the
     * file before it returns. RETENTION_TIME=0: the space of what a commit
     * replaced may be reused at once (with the default 45 s, a busy base grows
     * by every commit of the last 45 s); the CHECKPOINT that FingerprintBase
     * runs every few changes compacts what is left. MAX_COMPACT_TIME=0: no
     * compaction when closing, which only delayed closing and, cut off by its
     * time limit, left the file larger. TRACE_LEVEL_FILE=0: no trace file
     * beside the base, and no stack trace on the console when one cannot be
     * written.
     */
    static Properties writable() {
        Properties p = new Properties();
        p.setProperty("WRITE_DELAY", "0");
        p.setProperty("RETENTION_TIME", "0");
        p.setProperty("MAX_COMPACT_TIME", "0");
        p.setProperty("TRACE_LEVEL_FILE", "0");
        return p;
    }

    /** Settings of the read-only look at an existing base before it is used. */
    static Properties readOnly() {
        Properties p = new Properties();
        p.setProperty("ACCESS_MODE_DATA", "r");
        p.setProperty("IFEXISTS", "TRUE");
        p.setProperty("TRACE_LEVEL_FILE", "0");
        return p;
    }

    /** Makes the folder of a new base, with a message naming what failed. */
    void makeFolder() throws MatchingException {
        try {
            Files.createDirectories(folder);
        } catch (IOException e) {
            throw new MatchingException("Cannot create the base " + database + ": cannot make its folder " + folder
                    + " (" + e + ")", e);
        }
        if (!Files.isWritable(folder)) {
            throw new MatchingException("Cannot create the base " + database + ": its folder " + folder
                    + " is not writable");
        }
    }

    /** What an H2 failure to open the base means, in a sentence. */
    String openFailure(SQLException e, boolean existed) {
        String h2 = firstLine(e);
        Throwable root = e;
        while (root.getCause() != null && root.getCause() != root) {
            root = root.getCause();
        }
        if (root instanceof IOException) {
            h2 += "; the system: " + root.getClass().getSimpleName() + " " + firstLine(root);
        }
        if (e.getErrorCode() == H2_ALREADY_OPEN) {
            return "The fingerprint base " + database + " is open in another process"
                    + (FAILED_HERE.contains(database) ? ", or still held by an open of it that failed earlier in "
                    + "this one (H2 keeps the file locked until the process ends)" : "") + " (H2: " + h2 + ")";
        }
        if (existed) {
            FAILED_HERE.add(database);
            return "The fingerprint base " + database + " cannot be read: it is damaged or not a fingerprint base. "
                    + "It was left as it is (H2: " + h2 + ")";
        }
        return "Cannot create the fingerprint base " + database + " (H2: " + h2 + ")";
    }

    /** The first line of a failure's message; what it quotes of a damaged file may hold any bytes. */
    static String firstLine(Throwable e) {
        String m = e.getMessage();
        if (m == null) {
            m = e.toString();
        }
        int end = m.indexOf('\n');
        StringBuilder out = new StringBuilder();
        for (char c : (end < 0 ? m : m.substring(0, end)).toCharArray()) {
            if (Character.isISOControl(c) || Character.isSurrogate(c)) {
                out.append(String.format("\\u%04x", (int) c));
            } else {
                out.append(c);
            }
        }
        return out.toString();
    }
}
