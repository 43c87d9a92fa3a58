package ardivex.scanners;

/**
 * Told when a finger is laid on a capturing {@link Scanner} and when it is
 * lifted again. Readers that deliver images only while a finger rests on them
 * show a lifted finger as a pause in the images; others as images with little
 * print in them: both count as lifted. Every placed is followed by one lifted
 * before the next placed.
 *
 * <p>Threads: called on the scanner's delivering thread, in order with its
 * {@link Scanner.ScanListener}s: {@code fingerPlaced} comes before the first
 * image of the touch is handed to them, {@code fingerLifted} after its last.
 * Return soon, as from a scan listener.
 *
 * <p>For example:
 * <pre>{@code
 * scanner.addFingerListener(new FingerListener() {
 *     public void fingerPlaced(Scanner s) { status.setText("Hold still"); }
 *     public void fingerLifted(Scanner s) { status.setText("Place your finger"); }
 * });
 * scanner.startCapturing();
 * }</pre>
 */
public interface FingerListener {
    /**
     * A finger was laid on the reader.
     *
     * @param scanner the reader
     */
    void fingerPlaced(Scanner scanner);

    /**
     * The finger was lifted from the reader.
     *
     * @param scanner the reader
     */
    void fingerLifted(Scanner scanner);
}
