package ardivex.fingers;

/**
 * How many minutiae an extracted template keeps at most; the engine keeps the
 * ones of best quality. The constant's ordinal is handed to the extraction
 * engine unchanged, so the order of the constants must not change.
 * <ul>
 *   <li>{@link #SMALL} (0): at most 32 minutiae.</li>
 *   <li>{@link #MEDIUM} (1): at most 64.</li>
 *   <li>{@link #LARGE} (2): at most 128.</li>
 *   <li>{@link #FULL} (3): every minutia found, up to 255.</li>
 * </ul>
 *
 * <p>The constants are immutable and may be shared between threads.
 */
public enum NFTemplateSize {
    /** At most 32 minutiae. */
    SMALL,
    /** At most 64 minutiae. */
    MEDIUM,
    /** At most 128 minutiae. */
    LARGE,
    /** Every minutia found, up to 255. */
    FULL
}
