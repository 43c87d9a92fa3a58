package ardivex.scanners;

import ardivex.NativeLibrary;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;

/**
 * One fingerprint reader. While capturing, every captured image is delivered
 * to the registered listeners, on a thread of the library, as a
 * {@link ScanEvent} of kind {@link ScanEventKind#ImageScanned}. Images that
 * arrive while a listener is still busy are merged: the listener then gets
 * the newest one. The listeners of one scanner never run on two threads at
 * once.
 * <p>
 * The delivering thread is an ordinary (non-daemon) thread of the VM: a
 * program whose {@code main} returns while a scanner captures does not exit
 * until capture stops ({@link #stopCapturing()}, {@link #close()} or
 * {@link ScannerMan#uninitialize()}).
 */
public class Scanner implements AutoCloseable {
    static {
        NativeLibrary.load();
    }

    /** Kinds of scanner events. */
    public enum ScanEventKind {
        /** An image was captured; the event's {@code image} holds it. */
        ImageScanned
    }

    /** A captured 8-bit grey image: {@code height} rows of {@code width} bytes, top row first. */
    public static class ScanImage {
        /** Pixels per row. */
        public final int width;
        /** Number of rows. */
        public final int height;
        /** {@code width * height} grey values, row by row from the top; filled by the library. */
        public byte[] buffer;

        /**
         * An image of the given size with all pixels 0; the library creates
         * one per captured image and fills its buffer.
         *
         * @param width pixels per row
         * @param height number of rows
         * @throws ArithmeticException when {@code width * height} overflows an {@code int}
         */
        public ScanImage(int width, int height) {
            this.width = width;
            this.height = height;
            this.buffer = new byte[Math.multiplyExact(width, height)];
        }

        /**
         * The grey value at a pixel.
         *
         * @param x the column, 0 to {@code width - 1}
         * @param y the row, 0 (top) to {@code height - 1}
         * @return the grey value, 0 black to 255 white
         * @throws ArrayIndexOutOfBoundsException when the pixel lies outside the buffer
         */
        public int pixel(int x, int y) {
            return buffer[y * width + x] & 0xff;
        }
    }

    /** One event of a scanner. */
    public static class ScanEvent {
        /** What happened. */
        public ScanEventKind kind;
        /** The captured image, for {@link ScanEventKind#ImageScanned}. */
        public ScanImage image;

        /** An empty event; the library creates one per event and sets its fields. */
        public ScanEvent() {
        }
    }

    /** Receives the events of a scanner. */
    @FunctionalInterface
    public interface ScanListener {
        /**
         * Called on a thread of the library for each event of the scanner.
         * Return soon: images that arrive meanwhile are merged into the newest.
         *
         * @param scanner the scanner the event comes from
         * @param event the event; its image belongs to the listener from now on
         */
        void scanned(Scanner scanner, ScanEvent event);
    }

    private final long handle;
    private final List<ScanListener> listeners = new CopyOnWriteArrayList<>();

    // Package access: handles come from ScannerMan (and tests).
    Scanner(long handle) {
        this.handle = handle;
    }

    native void innerStartCapturing(long handle);

    native void innerStopCapturing(long handle);

    native boolean innerIsCapturing(long handle);

    native String innerGetID(long handle);

    /**
     * The class of the events that the library creates; looked up by the
     * library by name.
     *
     * @return {@link ScanEvent}
     */
    public static Class<?> getEventClass() {
        return ScanEvent.class;
    }

    /**
     * The class of the event kinds; looked up by the library by name.
     *
     * @return {@link ScanEventKind}
     */
    public static Class<?> getEventKindClass() {
        return ScanEventKind.class;
    }

    /**
     * The class of the images that the library creates; looked up by the
     * library by name.
     *
     * @return {@link ScanImage}
     */
    public static Class<?> getImageClass() {
        return ScanImage.class;
    }

    /**
     * Starts capturing; a second start while capturing changes nothing. When a
     * listener of an earlier capture is still running (the scanner was stopped
     * from another thread meanwhile), the start first waits for it to return,
     * unless it is called from that listener.
     *
     * @throws ScanManException when the reader cannot be opened or is held by
     *         another program, when this scanner was released by
     *         {@link ScannerMan#uninitialize()}, when {@code getEventClass} of
     *         this object's class does not return {@link ScanEvent} or a
     *         subclass of it, or when that wait would never end (see
     *         {@link #stopCapturing()})
     */
    public void startCapturing() {
        innerStartCapturing(handle);
    }

    /**
     * Stops capturing and waits until a listener still running for this
     * scanner has returned; no event is delivered after that. Called from one
     * of this scanner's listeners, it does not wait for itself.
     * <p>
     * A listener of scanner A that stops B while a listener of B stops A
     * would wait for ever: one of the two stops throws
     * {@link ScanManException} instead (its scanner is stopped all the same).
     * Stopping a scanner that does not capture changes nothing.
     *
     * @throws ScanManException when the reader refuses to stop, when this
     *         scanner was released by {@link ScannerMan#uninitialize()}, or
     *         in the case of stops waiting on each other above
     */
    public void stopCapturing() {
        innerStopCapturing(handle);
    }

    /**
     * Whether the scanner is capturing.
     *
     * @return true between {@link #startCapturing()} and {@link #stopCapturing()}
     */
    public boolean isCapturing() {
        return innerIsCapturing(handle);
    }

    /**
     * The reader's serial number, the identifier of the reader across
     * programs (for a Tavoro sensor "Tavoro\" and eight hexadecimal digits).
     *
     * @return the serial number
     */
    public String getID() {
        return innerGetID(handle);
    }

    /**
     * Adds a listener for this scanner's events.
     *
     * @param l the listener; added once per call
     */
    public void addScanListener(ScanListener l) {
        listeners.add(l);
    }

    /**
     * Removes a listener added before; events already being delivered may
     * still reach it.
     *
     * @param l the listener
     */
    public void removeScanListener(ScanListener l) {
        listeners.remove(l);
    }

    /**
     * Called by the library for each event; hands it to every listener. A
     * listener that throws does not keep the others from the event; the first
     * failure is rethrown afterwards (and shown by the library).
     *
     * @param event the event to deliver
     */
    protected void fireEvent(ScanEvent event) {
        RuntimeException first = null;
        for (ScanListener l : listeners) {
            try {
                l.scanned(this, event);
            } catch (RuntimeException e) {
                if (first == null) {
                    first = e;
                }
            }
        }
        if (first != null) {
            throw first;
        }
    }

    /**
     * Stops capturing, as {@link #stopCapturing()}.
     *
     * @throws ScanManException as {@link #stopCapturing()}
     */
    @Override
    public void close() {
        stopCapturing();
    }

    @Override
    public String toString() {
        return "Scanner[" + handle + "]";
    }
}
