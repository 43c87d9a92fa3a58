package ardivex.scanners;

import ardivex.NativeLibrary;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * Lists the fingerprint readers attached to the machine and hands out one
 * {@link Scanner} per reader. The same reader always yields the same
 * {@code Scanner} until {@link #uninitialize()}.
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
        for (;;) {
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
                return scanners.computeIfAbsent(handle, Scanner::new);
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
