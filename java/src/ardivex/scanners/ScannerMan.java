package ardivex.scanners;

import ardivex.NativeLibrary;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Lists the fingerprint readers attached to the machine and hands out one
 * {@link Scanner} per reader. The same reader always yields the same
 * {@code Scanner} until {@link #uninitialize()}.
 *
 * <p>Threads: every method may be called from any thread, a scanner's
 * listener included: the library serialises these calls, and those of every
 * {@code Scanner}, under one lock of its own.
 *
 * <p>For example:
 * <pre>{@code
 * List<Scanner> readers = ScannerMan.getScanners();
 * for (Scanner s : readers) {
 *     System.out.println(s.getID());
 * }
 * ScannerMan.uninitialize(); // before the program ends: stops every capture
 * }</pre>
 */
public final class ScannerMan {
    static {
        NativeLibrary.load();
    }

    // One Java object per native handle, so listeners stay with their reader:
    // held for as long as the handle is valid, that is until uninitialize.
    private static final Map<Long, Scanner> scanners = new HashMap<>();
    // Counts completed teardowns: a handle obtained before one is never stored.
    private static long teardowns;
    private static final ReaderWatch watch = new ReaderWatch();

    private ScannerMan() {
    }

    static native int innerGetScannerCount();

    static native long innerGetScanner(int index);

    /**
     * Counts the readers attached now. The first call searches the plug-ins
     * (beside the native library and beside the program); every call asks
     * them for their readers anew.
     *
     * @return the number of readers, plug-in readers first, then Ridgeway readers
     * @throws ScanManException when the readers cannot be listed
     */
    public static int getScannerCount() {
        return innerGetScannerCount();
    }

    /**
     * The scanner of a reader.
     *
     * @param index the reader's index, 0 to {@link #getScannerCount()} - 1
     * @return the reader's scanner, or null when there is no reader at that index
     * @throws ScanManException when the readers cannot be listed
     */
    public static Scanner getScanner(int index) {
        for (int attempt = 1;; attempt++) {
            long seen;
            synchronized (scanners) {
                seen = teardowns;
            }
            long handle = innerGetScanner(index);
            if (handle == 0) {
                return null;
            }
            synchronized (scanners) {
                if (seen != teardowns) {
                    continue; // the handle may predate a teardown: ask again
                }
                Scanner known = scanners.get(handle);
                if (known != null) {
                    return known;
                }
            }
            // Made outside the monitor, which the library's call back from
            // uninitialize takes: the new Scanner asks the library for the
            // reader's identifier.
            Scanner made;
            try {
                made = new Scanner(handle);
            } catch (ScanManException e) {
                if (attempt < 3) {
                    continue; // a teardown on another thread released the handle just now
                }
                throw e;
            }
            synchronized (scanners) {
                if (seen != teardowns) {
                    continue;
                }
                return scanners.computeIfAbsent(handle, h -> made);
            }
        }
    }

    /**
     * Every reader's scanner.
     *
     * @return the scanners in index order; empty when no reader is attached
     * @throws ScanManException when the readers cannot be listed
     */
    public static List<Scanner> getScanners() {
        int n = getScannerCount();
        List<Scanner> list = new ArrayList<>(n);
        for (int i = 0; i < n; i++) {
            Scanner s = getScanner(i);
            if (s != null) {
                list.add(s);
            }
        }
        return list;
    }

    /**
     * Adds a listener told when a reader is plugged in or unplugged. The first
     * listener starts a watch on a thread of the library that lists the
     * readers at an interval ({@link #setReaderWatchInterval(Duration)}, 1 s
     * by default); the readers of its first three looks are taken as they
     * are (a listing may leave out a reader that is busy), so call
     * {@link #getScanners()} for those. A reader counts as unplugged
     * only when three looks in a row miss it, and never while it captures.
     * The watch ends when the last listener is removed.
     *
     * @param l the listener; added once per call
     * @throws NullPointerException when {@code l} is null
     */
    public static void addReaderListener(ReaderListener l) {
        watch.add(java.util.Objects.requireNonNull(l, "the reader listener is null"));
    }

    /**
     * Removes a reader listener; a listener that was not added, or null,
     * changes nothing.
     *
     * @param l the listener
     */
    public static void removeReaderListener(ReaderListener l) {
        watch.remove(l);
    }

    /**
     * Sets how often the reader watch lists the readers. Every look opens
     * each reader for a moment: keep it modest.
     *
     * @param interval the time between looks
     * @throws IllegalArgumentException when {@code interval} is shorter than 50 ms
     */
    public static void setReaderWatchInterval(Duration interval) {
        if (interval.toMillis() < 50) {
            throw new IllegalArgumentException("the reader watch interval must be 50 ms or more: " + interval);
        }
        watch.setInterval(interval);
    }

    /**
     * Stops and releases every scanner. Scanner objects obtained before become
     * invalid: their methods throw {@link ScanManException}.
     */
    public static native void uninitialize();

    // Called by the library when uninitialize has released every scanner.
    private static void released() {
        synchronized (scanners) {
            teardowns++;
            scanners.clear();
        }
    }
}
