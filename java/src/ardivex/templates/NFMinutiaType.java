package ardivex.templates;

/**
 * The 2-bit minutia type of an NFRecord template. Codes 0 and 1 are the
 * extraction engine's ridge ending and bifurcation; 2 and 3 carry no
 * meaning of their own in this toolkit.
 *
 * <p>The constants are immutable and may be shared between threads.
 */
public enum NFMinutiaType {
    /** Code 0: a ridge ends. */
    RIDGE_ENDING,
    /** Code 1: a ridge splits in two. */
    BIFURCATION,
    /** Code 2. */
    OTHER,
    /** Code 3, and any code outside 0 to 3. */
    UNKNOWN;

    /**
     * The type of a code.
     *
     * @param code the template's type code
     * @return the type; {@link #UNKNOWN} for codes outside 0 to 3
     */
    public static NFMinutiaType fromCode(int code) {
        NFMinutiaType[] all = values();
        return code >= 0 && code < all.length ? all[code] : UNKNOWN;
    }
}
