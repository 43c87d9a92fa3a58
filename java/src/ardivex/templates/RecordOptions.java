package ardivex.templates;

import java.util.Arrays;

/**
 * What a finger minutiae record says beyond the minutiae, when a template is
 * exported with {@link FingerMinutiaeRecord#toIso(byte[], RecordOptions)} or
 * {@link FingerMinutiaeRecord#toAnsi(byte[], RecordOptions)}.
 *
 * <p>A field left unset is taken from the template: templates made by
 * {@code NFExtractor} carry the image size, the resolution and an image
 * quality, which become the record's image size, resolution and finger
 * quality. The other fields default to 0 (unknown finger, first view, live-scan
 * plain impression, equipment and product not given).
 *
 * <pre>{@code
 * RecordOptions options = RecordOptions.DEFAULT
 *         .withFingerPosition(2)              // right index finger
 *         .withCaptureEquipment(0, 0x123);
 * byte[] iso = FingerMinutiaeRecord.toIso(template, options);
 * }</pre>
 *
 * <p>Instances are immutable and may be shared by any number of threads.
 */
public final class RecordOptions {
    /** Every field taken from the template or left at its default. */
    public static final RecordOptions DEFAULT = new RecordOptions(unset());

    // The order the native exporter reads them in.
    static final int WIDTH = 0;
    static final int HEIGHT = 1;
    static final int RESOLUTION = 2;
    static final int FINGER_POSITION = 3;
    static final int VIEW_NUMBER = 4;
    static final int IMPRESSION_TYPE = 5;
    static final int FINGER_QUALITY = 6;
    static final int EQUIPMENT_COMPLIANCE = 7;
    static final int EQUIPMENT_ID = 8;
    static final int CBEFF_OWNER = 9;
    static final int CBEFF_TYPE = 10;
    static final int COUNT = 11;

    private final int[] values;

    private RecordOptions(int[] values) {
        this.values = values;
    }

    private static int[] unset() {
        int[] v = new int[COUNT];
        Arrays.fill(v, -1);
        return v;
    }

    private RecordOptions with(int index, int value, int low, int high, String what) {
        if (value < low || value > high) {
            throw new IllegalArgumentException(what + " " + value + " is outside " + low + " to " + high);
        }
        int[] v = values.clone();
        v[index] = value;
        return new RecordOptions(v);
    }

    /**
     * The size of the image the minutiae were found in; required for templates
     * that do not carry it (those {@code NFExtractor} makes do).
     *
     * @param width pixels, 1 to 65535
     * @param height pixels, 1 to 65535
     * @return options with that size
     * @throws IllegalArgumentException when a side is out of range
     */
    public RecordOptions withImageSize(int width, int height) {
        return with(WIDTH, width, 1, 0xFFFF, "Image width").with(HEIGHT, height, 1, 0xFFFF, "Image height");
    }

    /**
     * The image's resolution, both directions; required for templates that do
     * not carry it. The records store pixels per centimetre (500 ppi is 197).
     *
     * @param pixelsPerInch 1 to 65535
     * @return options with that resolution
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withResolution(int pixelsPerInch) {
        return with(RESOLUTION, pixelsPerInch, 1, 0xFFFF, "Resolution");
    }

    /**
     * The finger.
     *
     * @param position 0 unknown, 1 to 10 right thumb to left little finger
     * @return options with that finger
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withFingerPosition(int position) {
        return with(FINGER_POSITION, position, 0, 10, "Finger position");
    }

    /**
     * The number of this view among the views of the same finger.
     *
     * @param view 0 to 15
     * @return options with that view number
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withViewNumber(int view) {
        return with(VIEW_NUMBER, view, 0, 15, "View number");
    }

    /**
     * The impression type.
     *
     * @param type 0 to 15; 0 is a live-scan plain impression
     * @return options with that impression type
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withImpressionType(int type) {
        return with(IMPRESSION_TYPE, type, 0, 15, "Impression type");
    }

    /**
     * The finger quality, instead of the template's image quality.
     *
     * @param quality 0 to 100
     * @return options with that quality
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withFingerQuality(int quality) {
        return with(FINGER_QUALITY, quality, 0, 100, "Finger quality");
    }

    /**
     * The capture equipment.
     *
     * @param compliance the equipment's compliance bits, 0 to 15
     * @param id the equipment id, 0 to 4095
     * @return options with that equipment
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withCaptureEquipment(int compliance, int id) {
        return with(EQUIPMENT_COMPLIANCE, compliance, 0, 15, "Equipment compliance")
                .with(EQUIPMENT_ID, id, 0, 0xFFF, "Capture equipment id");
    }

    /**
     * The CBEFF product identifier of an ANSI record (ISO records have none).
     *
     * @param owner the product owner, 0 to 65535
     * @param type the product type, 0 to 65535
     * @return options with that product identifier
     * @throws IllegalArgumentException when out of range
     */
    public RecordOptions withCbeffProductId(int owner, int type) {
        return with(CBEFF_OWNER, owner, 0, 0xFFFF, "CBEFF product owner")
                .with(CBEFF_TYPE, type, 0, 0xFFFF, "CBEFF product type");
    }

    /** The values in the native exporter's order; -1 where unset. */
    int[] toArray() {
        return values.clone();
    }
}
