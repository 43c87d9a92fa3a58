package ardivex.templates;

/**
 * The two standard finger minutiae records that {@link FingerMinutiaeRecord}
 * reads and writes. Both begin with the bytes {@code "FMR\0"} and
 * {@code " 20\0"}; they differ in the record header (ANSI carries a CBEFF
 * product identifier, and a 2-byte record length instead of ISO's 4 bytes)
 * and in the unit of the minutia angle.
 */
public enum MinutiaeRecordFormat {
    /** ISO/IEC 19794-2:2005: angles in units of 360/256 degrees. */
    ISO_19794_2_2005("ISO/IEC 19794-2:2005"),
    /** ANSI INCITS 378-2004: angles in units of 2 degrees. */
    ANSI_378_2004("ANSI INCITS 378-2004");

    private final String title;

    MinutiaeRecordFormat(String title) {
        this.title = title;
    }

    /**
     * The standard's title.
     *
     * @return for example {@code "ISO/IEC 19794-2:2005"}
     */
    public String title() {
        return title;
    }

    @Override
    public String toString() {
        return title;
    }
}
