package ardivex.templates;

import ardivex.NativeLibrary;

import java.util.Objects;

/**
 * Converts templates to and from the two standard finger minutiae records
 * that other systems exchange: ISO/IEC 19794-2:2005 and ANSI INCITS 378-2004
 * (see {@link MinutiaeRecordFormat}).
 *
 * <p>Export writes one finger view with the template's minutiae (position,
 * type, angle and quality) and, when the template carries ridge periods (the
 * extractor's do), a ridge count data block: for each minutia the number of
 * ridges between it and its nearest neighbours across the ridges, estimated
 * from those periods. The template's curvature bytes, cores and deltas are
 * left out. Import reads one finger view (the first unless another is named)
 * into an NFRecord template that {@code NFMatcher}, {@code FingerprintBase}
 * and {@link NFRecord} take; ridge counts in the record give its minutiae a
 * ridge period again (the matcher compares periods where both templates have
 * them). Records without ridge counts import without periods.
 *
 * <pre>{@code
 * byte[] template = extractor.extract(image, ...);      // NFRecord
 * byte[] iso = FingerMinutiaeRecord.toIso(template);
 * Files.write(Path.of("finger.iso"), iso);
 *
 * byte[] received = Files.readAllBytes(Path.of("other.rec"));
 * NFRecord imported = FingerMinutiaeRecord.toNFRecord(received); // ISO or ANSI, by content
 * int score = matcher.verify(new NFRecord(template), imported);
 * }</pre>
 *
 * <p>A minutia exported and imported again comes back at the same pixel, with
 * the same type, and with its angle within one step of the record's angle unit.
 *
 * <p>Every method is static and keeps no state: any number of threads may call
 * them at once. Malformed input is refused with a
 * {@link MinutiaeRecordException} whose message says what is wrong.
 */
public final class FingerMinutiaeRecord {
    static {
        NativeLibrary.load();
    }

    private static final int ANY_FORMAT = -1;
    private static final byte[] MAGIC = {'F', 'M', 'R', 0, ' ', '2', '0', 0};

    private FingerMinutiaeRecord() {
    }

    /**
     * Whether the bytes begin as both records do ({@code "FMR\0" " 20\0"}).
     * It says nothing of which record it is, nor whether it is well formed:
     * {@link #detect(byte[])} does.
     *
     * @param bytes any bytes, or null
     * @return true when they begin with the records' magic and version
     */
    public static boolean isMinutiaeRecord(byte[] bytes) {
        if (bytes == null || bytes.length < MAGIC.length) {
            return false;
        }
        for (int i = 0; i < MAGIC.length; i++) {
            if (bytes[i] != MAGIC[i]) {
                return false;
            }
        }
        return true;
    }

    /**
     * Which record the bytes are, by content: the one whose record length field
     * (ISO: 4 bytes at offset 8; ANSI: 2 bytes there, or 2 zero bytes then 4)
     * equals the number of bytes.
     *
     * <pre>{@code
     * switch (FingerMinutiaeRecord.detect(bytes)) {
     *     case ISO_19794_2_2005: ...
     *     case ANSI_378_2004: ...
     * }
     * }</pre>
     *
     * @param record the bytes of a record
     * @return its format
     * @throws MinutiaeRecordException when the bytes are not a finger minutiae
     *     record, or when both or neither length field fits
     * @throws NullPointerException when {@code record} is null
     */
    public static MinutiaeRecordFormat detect(byte[] record) throws MinutiaeRecordException {
        Objects.requireNonNull(record, "record");
        return MinutiaeRecordFormat.values()[innerDetect(record)];
    }

    /**
     * A template as an ISO/IEC 19794-2:2005 record, with everything beyond the
     * minutiae taken from the template (see {@link RecordOptions}).
     *
     * @param nfrecord the bytes of an NFRecord template, as {@code NFExtractor} makes them
     * @return the record's bytes
     * @throws MinutiaeRecordException when the bytes are not a template, or when
     *     the template does not carry its image size and resolution
     * @throws NullPointerException when {@code nfrecord} is null
     */
    public static byte[] toIso(byte[] nfrecord) throws MinutiaeRecordException {
        return toIso(nfrecord, RecordOptions.DEFAULT);
    }

    /**
     * A template as an ISO/IEC 19794-2:2005 record.
     *
     * @param nfrecord the bytes of an NFRecord template
     * @param options what the record says beyond the minutiae
     * @return the record's bytes
     * @throws MinutiaeRecordException when the bytes are not a template, when
     *     neither the template nor the options give the image size and
     *     resolution, or when a minutia lies outside the image
     * @throws NullPointerException when an argument is null
     */
    public static byte[] toIso(byte[] nfrecord, RecordOptions options) throws MinutiaeRecordException {
        return export(nfrecord, MinutiaeRecordFormat.ISO_19794_2_2005, options);
    }

    /**
     * A template as an ISO/IEC 19794-2:2005 record.
     *
     * @param template an NFRecord template
     * @return the record's bytes
     * @throws MinutiaeRecordException as {@link #toIso(byte[])}
     * @throws NullPointerException when {@code template} is null
     */
    public static byte[] toIso(NFRecord template) throws MinutiaeRecordException {
        return toIso(Objects.requireNonNull(template, "template").getData());
    }

    /**
     * A template as an ANSI INCITS 378-2004 record, with everything beyond the
     * minutiae taken from the template (see {@link RecordOptions}).
     *
     * @param nfrecord the bytes of an NFRecord template, as {@code NFExtractor} makes them
     * @return the record's bytes
     * @throws MinutiaeRecordException as {@link #toIso(byte[])}
     * @throws NullPointerException when {@code nfrecord} is null
     */
    public static byte[] toAnsi(byte[] nfrecord) throws MinutiaeRecordException {
        return toAnsi(nfrecord, RecordOptions.DEFAULT);
    }

    /**
     * A template as an ANSI INCITS 378-2004 record.
     *
     * @param nfrecord the bytes of an NFRecord template
     * @param options what the record says beyond the minutiae
     * @return the record's bytes
     * @throws MinutiaeRecordException as {@link #toIso(byte[], RecordOptions)}
     * @throws NullPointerException when an argument is null
     */
    public static byte[] toAnsi(byte[] nfrecord, RecordOptions options) throws MinutiaeRecordException {
        return export(nfrecord, MinutiaeRecordFormat.ANSI_378_2004, options);
    }

    /**
     * A template as an ANSI INCITS 378-2004 record.
     *
     * @param template an NFRecord template
     * @return the record's bytes
     * @throws MinutiaeRecordException as {@link #toIso(byte[])}
     * @throws NullPointerException when {@code template} is null
     */
    public static byte[] toAnsi(NFRecord template) throws MinutiaeRecordException {
        return toAnsi(Objects.requireNonNull(template, "template").getData());
    }

    /**
     * The first finger view of an ISO/IEC 19794-2:2005 record as a template.
     *
     * @param iso the bytes of the record
     * @return the template
     * @throws MinutiaeRecordException when the bytes are not a well-formed ISO
     *     record (an ANSI record included), or a minutia lies beyond the 2047
     *     pixels a template coordinate holds
     * @throws NullPointerException when {@code iso} is null
     */
    public static NFRecord fromIso(byte[] iso) throws MinutiaeRecordException {
        return fromIso(iso, 0);
    }

    /**
     * A finger view of an ISO/IEC 19794-2:2005 record as a template.
     *
     * @param iso the bytes of the record
     * @param view the view's place in the record, 0 for the first
     * @return the template
     * @throws MinutiaeRecordException as {@link #fromIso(byte[])}, or when the
     *     record holds no such view
     * @throws NullPointerException when {@code iso} is null
     */
    public static NFRecord fromIso(byte[] iso, int view) throws MinutiaeRecordException {
        return load(iso, MinutiaeRecordFormat.ISO_19794_2_2005.ordinal(), view);
    }

    /**
     * The first finger view of an ANSI INCITS 378-2004 record as a template.
     *
     * @param ansi the bytes of the record
     * @return the template
     * @throws MinutiaeRecordException when the bytes are not a well-formed ANSI
     *     record (an ISO record included), or a minutia lies beyond the 2047
     *     pixels a template coordinate holds
     * @throws NullPointerException when {@code ansi} is null
     */
    public static NFRecord fromAnsi(byte[] ansi) throws MinutiaeRecordException {
        return fromAnsi(ansi, 0);
    }

    /**
     * A finger view of an ANSI INCITS 378-2004 record as a template.
     *
     * @param ansi the bytes of the record
     * @param view the view's place in the record, 0 for the first
     * @return the template
     * @throws MinutiaeRecordException as {@link #fromAnsi(byte[])}, or when the
     *     record holds no such view
     * @throws NullPointerException when {@code ansi} is null
     */
    public static NFRecord fromAnsi(byte[] ansi, int view) throws MinutiaeRecordException {
        return load(ansi, MinutiaeRecordFormat.ANSI_378_2004.ordinal(), view);
    }

    /**
     * The first finger view of a record of either format, recognised as
     * {@link #detect(byte[])} does, as a template.
     *
     * @param record the bytes of the record
     * @return the template
     * @throws MinutiaeRecordException when the record is not recognised or is malformed
     * @throws NullPointerException when {@code record} is null
     */
    public static NFRecord toNFRecord(byte[] record) throws MinutiaeRecordException {
        return toNFRecord(record, 0);
    }

    /**
     * A finger view of a record of either format as a template.
     *
     * @param record the bytes of the record
     * @param view the view's place in the record, 0 for the first
     * @return the template
     * @throws MinutiaeRecordException when the record is not recognised or is
     *     malformed, or holds no such view
     * @throws NullPointerException when {@code record} is null
     */
    public static NFRecord toNFRecord(byte[] record, int view) throws MinutiaeRecordException {
        return load(record, ANY_FORMAT, view);
    }

    private static byte[] export(byte[] nfrecord, MinutiaeRecordFormat format, RecordOptions options)
            throws MinutiaeRecordException {
        Objects.requireNonNull(nfrecord, "nfrecord");
        Objects.requireNonNull(options, "options");
        return innerExport(nfrecord, format.ordinal(), options.toArray());
    }

    private static NFRecord load(byte[] record, int format, int view) throws MinutiaeRecordException {
        Objects.requireNonNull(record, "record");
        return new NFRecord(innerImport(record, format, view));
    }

    private static native int innerDetect(byte[] record) throws MinutiaeRecordException;

    private static native byte[] innerExport(byte[] nfrecord, int format, int[] options)
            throws MinutiaeRecordException;

    private static native byte[] innerImport(byte[] record, int format, int view) throws MinutiaeRecordException;
}
