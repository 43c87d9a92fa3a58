package ardivex.scanners;

import ardivex.NativeLibrary;
import java.time.Duration;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.CopyOnWriteArrayList;

/**
 * One fingerprint reader. While capturing, every captured image is delivered
 * to the registered listeners, on a thread of the library, as a
 * {@link ScanEvent} of kind {@link ScanEventKind#ImageScanned}. Images that
 * arrive while a listener is still busy are merged: the listener then gets
 * the newest one. The listeners of one scanner never run on two threads at
 * once. Every method may be called from any thread, listeners included (see
 * {@link ScannerMan}).
 * <p>
 * {@link FingerListener}s are told on the same thread, in order with the
 * images, when a finger is placed on the reader and when it is lifted: a
 * pause in the images (readers that deliver only while a finger rests on
 * them) or images with little print in them.
 * <p>
 * The delivering thread is an ordinary (non-daemon) thread of the VM, named
 * "dactylink scanner " and the reader's identifier from its first event: a
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

    // Event threads are named this and the reader's identifier.
    static final String EVENT_THREAD_PREFIX = "dactylink scanner ";

    private final long handle;
    // The reader's identifier as it was when ScannerMan made this object:
    // toString must not call into the library, whose scanner lock a stop may
    // hold while it waits for this scanner's listener.
    private final String id;
    private final List<ScanListener> listeners = new CopyOnWriteArrayList<>();
    private final List<FingerListener> fingerListeners = new CopyOnWriteArrayList<>();
    private final FingerWatch fingers = new FingerWatch();
    // The event thread that fireEvent last named; each start makes a new one.
    private volatile Thread namedThread;

    // Package access: handles come from ScannerMan (and tests). Made outside
    // ScannerMan's monitor: asking for the identifier takes the scanner lock.
    Scanner(long handle) {
        this.handle = handle;
        this.id = innerGetID(handle);
    }

    native void innerStartCapturing(long handle);

    native void innerStopCapturing(long handle);

    native boolean innerIsCapturing(long handle);

    native String innerGetID(long handle);

    // The three classes the event thread builds its events from; the library
    // looks them up by name on the class of the Scanner object, so a
    // subclass may declare its own.
    private static Class<?> getEventClass() {
        return ScanEvent.class;
    }

    private static Class<?> getEventKindClass() {
        return ScanEventKind.class;
    }

    private static Class<?> getImageClass() {
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
        if (!innerIsCapturing(handle)) {
            fingers.reset(); // a new capture begins with no finger on the reader
        }
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
     * @throws NullPointerException when {@code l} is null: a null listener
     *         would fail at every event, far from the mistake
     */
    public void addScanListener(ScanListener l) {
        listeners.add(Objects.requireNonNull(l, "the scan listener is null"));
    }

    /**
     * Removes a listener added before; events already being delivered may
     * still reach it. A listener that was not added, or null, changes
     * nothing.
     *
     * @param l the listener
     */
    public void removeScanListener(ScanListener l) {
        listeners.remove(l);
    }

    /**
     * Adds a listener told when a finger is placed on this reader and lifted
     * from it while the scanner captures (see {@link FingerListener}).
     *
     * @param l the listener; added once per call
     * @throws NullPointerException when {@code l} is null
     */
    public void addFingerListener(FingerListener l) {
        fingerListeners.add(Objects.requireNonNull(l, "the finger listener is null"));
    }

    /**
     * Removes a finger listener added before; a listener that was not added,
     * or null, changes nothing.
     *
     * @param l the listener
     */
    public void removeFingerListener(FingerListener l) {
        fingerListeners.remove(l);
    }

    /**
     * Whether a finger rests on the reader, as the finger listeners were last told.
     *
     * @return true between a {@code fingerPlaced} and the next {@code fingerLifted}
     */
    public boolean isFingerPlaced() {
        return fingers.isPlaced();
    }

    /**
     * Sets the pause in the images after which a finger counts as lifted. By
     * default it follows the reader's own rate: four intervals between the
     * images of a touch, at least 400 ms and at most 2 s.
     *
     * @param gap the pause, or null for the default
     * @throws IllegalArgumentException when {@code gap} is zero or negative
     */
    public void setFingerLiftGap(Duration gap) {
        if (gap != null && (gap.isZero() || gap.isNegative())) {
            throw new IllegalArgumentException("the lift gap must be positive: " + gap);
        }
        fingers.setGap(gap);
    }

    // Called by the library on the delivering thread when no image came for a
    // while: a pause long enough is a lifted finger.
    final void fireIdle() {
        nameEventThread();
        if (fingers.idle(System.nanoTime())) {
            tellFingers(false, null);
        }
    }

    // Tells the finger listeners; the first failure is kept in `first`
    // (returned, or the new one when there was none).
    private RuntimeException tellFingers(boolean placed, RuntimeException first) {
        for (FingerListener l : fingerListeners) {
            try {
                if (placed) {
                    l.fingerPlaced(this);
                } else {
                    l.fingerLifted(this);
                }
            } catch (RuntimeException e) {
                if (first == null) {
                    first = e;
                }
            }
        }
        return first;
    }

    /**
     * Called by the library for each event; hands it to every listener,
     * after telling the finger listeners of a finger placed or lifted before
     * it (so a subclass that overrides it calls this one). A listener that throws does not keep the others from the event; the first
     * failure is rethrown afterwards (and shown by the library).
     *
     * @param event the event to deliver
     */
    protected void fireEvent(ScanEvent event) {
        nameEventThread();
        RuntimeException first = null;
        if (event != null && event.kind == ScanEventKind.ImageScanned) {
            switch (fingers.image(System.nanoTime(), event.image)) {
                case PLACED:
                    first = tellFingers(true, first);
                    break;
                case LIFTED:
                    first = tellFingers(false, first);
                    break;
                case LIFTED_THEN_PLACED:
                    first = tellFingers(false, first);
                    first = tellFingers(true, first);
                    break;
                default:
                    break;
            }
        }
        try {
            first = tellScanListeners(event, first);
        } finally {
            fingers.delivered(System.nanoTime());
        }
        if (first != null) {
            throw first;
        }
    }

    private RuntimeException tellScanListeners(ScanEvent event, RuntimeException first) {
        for (ScanListener l : listeners) {
            try {
                l.scanned(this, event);
            } catch (RuntimeException e) {
                if (first == null) {
                    first = e;
                }
            }
        }
        return first;
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

    // The library attaches its event threads to the VM without a name (they
    // would be "Thread-N" in thread dumps and in the report of a listener's
    // exception): the first delivery of each capture names its thread.
    private void nameEventThread() {
        Thread t = Thread.currentThread();
        if (t != namedThread) {
            namedThread = t;
            try {
                t.setName(EVENT_THREAD_PREFIX + id);
            } catch (SecurityException e) {
                // a security manager keeps the name: delivery goes on
            }
        }
    }

    /**
     * The reader's identifier, kept from when this object was made; it never
     * calls into the library, so it may be used anywhere, even from a
     * listener while another thread stops the scanner.
     *
     * @return "Scanner[" and the identifier "]", for example
     *     {@code Scanner[Tavoro\5E1EA5E0]}
     */
    @Override
    public String toString() {
        return "Scanner[" + id + "]";
    }
}
