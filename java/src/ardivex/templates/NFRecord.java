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

    /** Item kind of the minutiae, as the native reader numbers kinds. */
    public static final int KIND_MINUTIAE = 0;
    /** Item kind of the cores. */
    public static final int KIND_CORES = 1;
    /** Item kind of the deltas. */
    public static final int KIND_DELTAS = 2;
    /** Item kind of the double cores. */
    public static final int KIND_DOUBLE_CORES = 3;

    /** The template bytes; read by the native library by name. */
    public byte[] data;

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
     * Counts the items of a kind.
     *
     * @param kind one of the {@code KIND_} constants
     * @return the number of items; 0 for any other kind, or when the template is too short for the kind
     */
    public native int innerGetItemCount(int kind);

    /**
     * Overwrites the fields of the first {@code innerGetItemCount(kind)} objects
     * of {@code items}. An array shorter than that, or a null where an item is
     * due, throws before any item is touched.
     *
     * @param kind one of the {@code KIND_} constants
     * @param items objects of the kind's class ({@link NFMinutia}, {@link NFCore}, {@link NFDelta},
     *        {@link NFDoubleCore})
     * @throws Exception when the array is too short, holds a null or an object of another class
     */
    public native void innerFillItems(int kind, Object[] items) throws Exception;

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
