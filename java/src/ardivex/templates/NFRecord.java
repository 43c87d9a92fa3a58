package ardivex.templates;

import ardivex.NativeLibrary;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.function.IntFunction;
import java.util.function.Supplier;

/**
 * A fingerprint template in the NFRecord format, as extracted from a grey
 * image. Its items (minutiae, cores, deltas, double cores) are read by the
 * native library from {@code data}; a template too short for a kind simply
 * holds no items of it.
 */
public class NFRecord {
    static {
        NativeLibrary.load();
    }

    /** Item kinds as the native reader numbers them. */
    public static final int KIND_MINUTIAE = 0;
    public static final int KIND_CORES = 1;
    public static final int KIND_DELTAS = 2;
    public static final int KIND_DOUBLE_CORES = 3;

    /** The template bytes; read by the native library by name. */
    public byte[] data;

    public NFRecord() {
        this.data = new byte[0];
    }

    /** A template over the given bytes (not copied). */
    public NFRecord(byte[] data) {
        this.data = data;
    }

    public byte[] getData() {
        return data;
    }

    /** Number of items of a kind (0 to 3), 0 for any other kind. */
    public native int innerGetItemCount(int kind);

    /**
     * Overwrites the fields of the first {@code innerGetItemCount(kind)} objects
     * of {@code items}. An array shorter than that, or a null where an item is
     * due, throws before any item is touched.
     */
    public native void innerFillItems(int kind, Object[] items) throws Exception;

    public List<NFMinutia> getMinutiae() throws Exception {
        return items(KIND_MINUTIAE, NFMinutia[]::new, NFMinutia::new);
    }

    public List<NFCore> getCores() throws Exception {
        return items(KIND_CORES, NFCore[]::new, NFCore::new);
    }

    public List<NFDelta> getDeltas() throws Exception {
        return items(KIND_DELTAS, NFDelta[]::new, NFDelta::new);
    }

    public List<NFDoubleCore> getDoubleCores() throws Exception {
        return items(KIND_DOUBLE_CORES, NFDoubleCore[]::new, NFDoubleCore::new);
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
