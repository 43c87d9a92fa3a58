package ardivex.templates;

import ardivex.NativeLibrary;
import ardivex.images.ImageQuality;
import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.function.IntFunction;
import java.util.function.Supplier;

/**
 * A fingerprint template in the NFRecord format, as extracted from a grey
 * image. Its items (minutiae, cores, deltas, double cores) are read by the
 * native library from its bytes; a template too short for a kind simply
 * holds no items of it.
 *
 * <p>Threads: several threads may read the items of one template at once, as
 * long as none of them changes {@code data} (nor the array it holds)
 * meanwhile; each read returns new item objects. A template that some thread
 * changes must not be read or passed to the library by another without a
 * lock of the application's own.
 */
public class NFRecord {
    static {
        NativeLibrary.load();
    }

    /** Item kind of the minutiae, as the native reader numbers kinds. */
    public static final int KIND_MINUTIAE = 0;
    /** Item kind of the cores. */
    public static final int KIND_CORES = 1;
    /** Item kind of the deltas. */
    public static final int KIND_DELTAS = 2;
    /** Item kind of the double cores. */
    public static final int KIND_DOUBLE_CORES = 3;

    /**
     * The largest template file {@link #read(Path)} reads: a template holds at
     * most about 225 KiB (255 minutiae, cores, deltas and double cores of the
     * largest records, and the block after the minutiae at its longest), so
     * anything larger is no template.
     */
    public static final int MAX_FILE_BYTES = 1 << 20;

    // The template bytes; the native template reader reads them by name.
    private final byte[] data;

    /** An empty template, without items. */
    public NFRecord() {
        this.data = new byte[0];
    }

    /**
     * A template over the given bytes, which are not copied.
     *
     * @param data the bytes of an NFRecord template, as {@code NFExtractor} returns them or as saved in a file
     */
    public NFRecord(byte[] data) {
        this.data = data;
    }

    /**
     * The template bytes, not copied.
     *
     * @return the bytes given or extracted
     */
    public byte[] getData() {
        return data;
    }

    /**
     * Reads a template file, such as {@link #write(Path)} or the tool's
     * {@code extract --template} writes, and checks it with
     * {@link NFMatcher#check(byte[])}.
     *
     * <pre>{@code
     * NFRecord probe = new NFExtractor().extract(NImage.read(Paths.get("probe.bmp")));
     * probe.write(Paths.get("probe.nfr"));
     * NFRecord again = NFRecord.read(Paths.get("probe.nfr"));
     * int score = new NFMatcher().verify(probe, again);
     * }</pre>
     *
     * @param file the file
     * @return the template, possibly without minutiae (see {@link NFMatcher#check(byte[])})
     * @throws IOException when the file cannot be read, is larger than
     *     {@link #MAX_FILE_BYTES}, or is not a template; the message names
     *     the file and what is wrong
     */
    public static NFRecord read(Path file) throws IOException {
        byte[] bytes = readAtMost(file, MAX_FILE_BYTES);
        try {
            NFMatcher.check(bytes);
        } catch (MatchingException e) {
            throw new IOException(file + ": " + e.getMessage(), e);
        }
        return new NFRecord(bytes);
    }

    /**
     * Writes this template to a file, replacing the file if it exists.
     *
     * @param file the file
     * @throws IllegalStateException when the bytes are not a template that
     *     {@link #read(Path)} would take back (nothing is written then)
     * @throws IOException when the file cannot be written
     */
    public void write(Path file) throws IOException {
        try {
            NFMatcher.check(data);
        } catch (MatchingException e) {
            throw new IllegalStateException(e.getMessage() + "; " + file + " was not written", e);
        }
        Files.write(file, data);
    }

    // Devices and pipes have no size to check first: read one byte past the cap at most.
    private static byte[] readAtMost(Path file, int cap) throws IOException {
        if (Files.isDirectory(file)) {
            throw new IOException(file + " is a folder, not a template file");
        }
        byte[] bytes;
        try (InputStream in = Files.newInputStream(file)) {
            bytes = in.readNBytes(cap + 1);
        }
        if (bytes.length > cap) {
            throw new IOException(file + " is larger than " + cap + " bytes: not a template");
        }
        return bytes;
    }

    // Called with one of the KIND_ constants: the number of items, 0 for any
    // other kind or a template too short for the kind.
    native int innerGetItemCount(int kind);

    // Overwrites the fields of the first innerGetItemCount(kind) objects of
    // items, of the kind's class; an array too short, or a null where an item
    // is due, throws before any item is touched.
    native void innerFillItems(int kind, Object[] items) throws Exception;

    /**
     * The minutiae.
     *
     * @return the minutiae in template order, unmodifiable
     * @throws Exception when the native reader fails
     */
    public List<NFMinutia> getMinutiae() throws Exception {
        return items(KIND_MINUTIAE, NFMinutia[]::new, NFMinutia::new);
    }

    /**
     * The cores.
     *
     * @return the cores in template order, unmodifiable
     * @throws Exception when the native reader fails
     */
    public List<NFCore> getCores() throws Exception {
        return items(KIND_CORES, NFCore[]::new, NFCore::new);
    }

    /**
     * The deltas.
     *
     * @return the deltas in template order, unmodifiable
     * @throws Exception when the native reader fails
     */
    public List<NFDelta> getDeltas() throws Exception {
        return items(KIND_DELTAS, NFDelta[]::new, NFDelta::new);
    }

    /**
     * The double cores.
     *
     * @return the double cores in template order, unmodifiable
     * @throws Exception when the native reader fails
     */
    public List<NFDoubleCore> getDoubleCores() throws Exception {
        return items(KIND_DOUBLE_CORES, NFDoubleCore[]::new, NFDoubleCore::new);
    }

    /** Offset of the picture's quality score in the header. */
    private static final int QUALITY_OFFSET = 16;
    /** Offset of the advice in the engine's summary block. */
    private static final int HINTS_OFFSET = 8;

    /**
     * The quality score of the picture this template was extracted from, as
     * the engine wrote it into the header (byte 16).
     *
     * <pre>{@code
     * NFRecord t = extractor.extract(image);
     * if (t.getQuality() < 40) { ... take the picture again ... }
     * }</pre>
     *
     * @return 0 (no usable print) to 100
     * @throws IllegalStateException when the template is too short for a header
     *         or its byte is not a score of 0 to 100
     */
    public int getQuality() {
        byte[] d = data;
        if (d == null || d.length < 26) {
            throw new IllegalStateException("The template has no header (" + (d == null ? 0 : d.length) + " bytes)");
        }
        int q = d[QUALITY_OFFSET] & 0xFF;
        if (q > 100) {
            throw new IllegalStateException("The template's quality byte is " + q + ", not a score of 0 to 100");
        }
        return q;
    }

    /**
     * The quality score with the engine's advice on how to take a better
     * picture. The advice comes from the engine's summary block; a template
     * without one (written by another program, or without the summary) has
     * the score alone. Codes this version does not know are left out.
     *
     * @return the score and advice
     * @throws IllegalStateException as {@link #getQuality()}
     */
    public ImageQuality getImageQuality() {
        int score = getQuality();
        byte[] d = data;
        List<ImageQuality.Hint> hints = new ArrayList<>();
        ImageQuality.Hint[] known = ImageQuality.Hint.values();
        // Every read below is bounded by the array's length.
        long a = 26L + (long) (d[24] & 0xFF) * (d[25] & 0xFF);
        if (a + 3 <= d.length) {
            int len = (short) ((d[(int) a + 1] & 0xFF) | (d[(int) a + 2] & 0xFF) << 8);
            long block = a + 3;
            for (int k = HINTS_OFFSET; k < len && block + k < d.length; k++) {
                int code = d[(int) (block + k)] & 0xFF;
                if (code == 0) {
                    break;
                }
                if (code <= known.length && !hints.contains(known[code - 1])) {
                    hints.add(known[code - 1]);
                }
            }
        }
        return new ImageQuality(score, hints);
    }

    private <T> List<T> items(int kind, IntFunction<T[]> array, Supplier<T> item)
            throws Exception {
        int count = innerGetItemCount(kind);
        if (count <= 0) {
            return Collections.emptyList();
        }
        T[] result = array.apply(count);
        for (int i = 0; i < count; i++) {
            result[i] = item.get();
        }
        innerFillItems(kind, result);
        return Collections.unmodifiableList(new ArrayList<>(Arrays.asList(result)));
    }

    @Override
    public String toString() {
        return "NFRecord[" + (data == null ? 0 : data.length) + " bytes]";
    }
}
