package ardivex.templates;

/** The 2-bit minutia type of an NFRecord template, in the order of its codes 0 to 3. */
public enum NFMinutiaType {
    UNKNOWN,
    END,
    BIFURCATION,
    OTHER;

    /** The type of a code; codes outside 0 to 3 are UNKNOWN. */
    public static NFMinutiaType fromCode(int code) {
        NFMinutiaType[] all = values();
        return code >= 0 && code < all.length ? all[code] : UNKNOWN;
    }
}
