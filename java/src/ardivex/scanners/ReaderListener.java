package ardivex.scanners;

/**
 * Told when a reader is plugged in or unplugged while the program runs (see
 * {@link ScannerMan#addReaderListener(ReaderListener)}).
 *
 * <p>Threads: called on one watching thread of the library, never for two
 * events at once. A listener may call every method of {@link ScannerMan} and
 * {@link Scanner}; it should return soon, since the watch waits for it.
 *
 * <p>For example:
 * <pre>{@code
 * ScannerMan.addReaderListener(new ReaderListener() {
 *     public void readerAdded(Scanner s, String id) { System.out.println("plugged: " + id); }
 *     public void readerRemoved(Scanner s, String id) { System.out.println("unplugged: " + id); }
 * });
 * }</pre>
 */
public interface ReaderListener {
    /**
     * A reader was plugged in.
     *
     * @param scanner the reader's scanner, as {@link ScannerMan#getScanner(int)} gives it
     * @param id the reader's identifier ({@link Scanner#getID()})
     */
    void readerAdded(Scanner scanner, String id);

    /**
     * A reader was unplugged. Never told of a reader that is capturing: its
     * removal is told once its capture was stopped.
     *
     * @param scanner the scanner the reader had
     * @param id the reader's identifier
     */
    void readerRemoved(Scanner scanner, String id);
}
