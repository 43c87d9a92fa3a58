package ardivex.templates;

/**
 * The 2-bit minutia type of an NFRecord template. Codes 0 and 1 are the
 * extraction engine's ridge ending and bifurcation; 2 and 3 carry no
 * meaning of their own in this toolkit.
 */
public enum NFMinutiaType {
    RIDGE_ENDING,
    BIFURCATION,
    OTHER,
    UNKNOWN;

    /** The type of a code; codes outside 0 to 3 are UNKNOWN. */
    public static NFMinutiaType fromCode(int code) {
        NFMinutiaType[] all = values();
        return code >= 0 && code < all.length ? all[code] : UNKNOWN;
    }
}
