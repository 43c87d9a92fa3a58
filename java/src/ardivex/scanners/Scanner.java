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
        ImageScanned
    }

    /** A captured 8-bit grey image: {@code height} rows of {@code width} bytes, top row first. */
    public static class ScanImage {
        public final int width;
        public final int height;
        public byte[] buffer;

        public ScanImage(int width, int height) {
            this.width = width;
            this.height = height;
            this.buffer = new byte[Math.multiplyExact(width, height)];
        }

        /** The grey value (0 black to 255 white) at column x of row y. */
        public int pixel(int x, int y) {
            return buffer[y * width + x] & 0xff;
        }
    }

    /** One event of a scanner. */
    public static class ScanEvent {
        public ScanEventKind kind;
        public ScanImage image;

        public ScanEvent() {
        }
    }

    /** Receives the events of a scanner. */
    @FunctionalInterface
    public interface ScanListener {
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

    public static Class<?> getEventClass() {
        return ScanEvent.class;
    }

    public static Class<?> getEventKindClass() {
        return ScanEventKind.class;
    }

    public static Class<?> getImageClass() {
        return ScanImage.class;
    }

    /**
     * Starts capturing; a second start while capturing changes nothing. When a
     * listener of an earlier capture is still running (the scanner was stopped
     * from another thread meanwhile), the start first waits for it to return,
     * unless it is called from that listener.
     *
     * @throws ScanManException when the reader cannot be started, when
     *         {@code getEventClass} of this object's class does not return
     *         {@link ScanEvent} or a subclass of it, or when that wait would
     *         never end (see {@link #stopCapturing()})
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
     */
    public void stopCapturing() {
        innerStopCapturing(handle);
    }

    public boolean isCapturing() {
        return innerIsCapturing(handle);
    }

    /** The reader's serial number. */
    public String getID() {
        return innerGetID(handle);
    }

    public void addScanListener(ScanListener l) {
        listeners.add(l);
    }

    public void removeScanListener(ScanListener l) {
        listeners.remove(l);
    }

    /**
     * Called by the library for each event; hands it to every listener. A
     * listener that throws does not keep the others from the event; the first
     * failure is rethrown afterwards (and shown by the library).
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

    /** Stops capturing. */
    @Override
    public void close() {
        stopCapturing();
    }

    @Override
    public String toString() {
        return "Scanner[" + handle + "]";
    }
}
