package ardivex.matching;

import java.io.IOException;
import java.io.InputStream;
import java.nio.ByteBuffer;
import java.nio.channels.SeekableByteChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * The small text file beside a base kept in a file, rewritten after each
 * commit: which base it is and the commit it reached. A marker inside the
 * database would go back with it when the file is cut short or an older copy
 * is put in its place; this one stays ahead, so that opening can tell.
 *
 * <pre>
 * dactylink fingerprint base
 * base 0f8c2e4a-...
 * commit 5654
 * rows 5654
 * </pre>
 */
final class CommitRecord {
    private static final String HEADING = "dactylink fingerprint base";
    private static final int MAX_BYTES = 4096;
    private static final Pattern FORMAT = Pattern.compile(
            HEADING + "\nbase ([0-9a-f-]{36})\ncommit (\\d{1,18})\nrows (\\d{1,18})\n");

    final String baseId;
    final long commit;
    final long rows;

    CommitRecord(String baseId, long commit, long rows) {
        this.baseId = baseId;
        this.commit = commit;
        this.rows = rows;
    }

    /**
     * The record in a file, or null when there is none.
     *
     * @throws MatchingException when the file is not a record this class wrote
     */
    static CommitRecord read(Path file) throws MatchingException {
        if (!Files.isDirectory(file.getParent())) {
            return null; // no folder yet: the base is new
        }
        byte[] bytes;
        try (InputStream in = Files.newInputStream(file, LinkOption.NOFOLLOW_LINKS)) {
            bytes = in.readNBytes(MAX_BYTES + 1);
        } catch (NoSuchFileException e) {
            return null;
        } catch (IOException e) {
            throw new MatchingException("Cannot read " + file + ", the commit record of the base beside it: " + e, e);
        }
        Matcher m = FORMAT.matcher(new String(bytes, StandardCharsets.UTF_8));
        if (bytes.length > MAX_BYTES || !m.matches()) {
            throw new MatchingException(file + " is not the commit record of a fingerprint base (it is kept beside "
                    + "the base and rewritten after each commit). If the base beside it is sound, delete " + file);
        }
        return new CommitRecord(m.group(1), Long.parseLong(m.group(2)), Long.parseLong(m.group(3)));
    }

    /** Replaces the record in {@code file} with this one, never leaving half a record. */
    void write(Path file) throws IOException {
        Path temporary = file.resolveSibling(file.getFileName() + ".new");
        byte[] text = (HEADING + "\nbase " + baseId + "\ncommit " + commit + "\nrows " + rows + "\n")
                .getBytes(StandardCharsets.UTF_8);
        try (SeekableByteChannel out = Files.newByteChannel(temporary, StandardOpenOption.CREATE,
                StandardOpenOption.TRUNCATE_EXISTING, StandardOpenOption.WRITE, LinkOption.NOFOLLOW_LINKS)) {
            ByteBuffer b = ByteBuffer.wrap(text);
            while (b.hasRemaining()) {
                out.write(b);
            }
        }
        Files.move(temporary, file, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
    }
}
