package ardivex.fingers;

/**
 * Which optional bytes each minutia of an extracted template carries. The
 * constant's ordinal is handed to the extraction engine unchanged, so the
 * order of the constants is part of the contract with the engine and must not
 * change.
 *
 * <p>Every minutia holds its position, type and direction; the formats add:
 * <ul>
 *   <li>{@link #BASIC} (0): nothing more; 4 bytes per minutia.</li>
 *   <li>{@link #WITH_QUALITY} (1): the quality byte (0 to 100); 5 bytes.</li>
 *   <li>{@link #EXTENDED} (2): quality, curvature and ridge period ("G");
 *       7 bytes.</li>
 * </ul>
 * An optional value that the template does not carry reads as 255 in
 * {@code ardivex.templates.NFMinutia}.
 *
 * <p>The constants are immutable and may be shared between threads.
 */
public enum NFMinutiaFormat {
    /** Position, type and direction only. */
    BASIC,
    /** Adds the quality byte. */
    WITH_QUALITY,
    /** Adds quality, curvature and ridge period. */
    EXTENDED
}
