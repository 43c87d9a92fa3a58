package ardivex.scanners;

import java.time.Duration;
import java.util.HashMap;
import java.util.Iterator;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CopyOnWriteArrayList;

/**
 * Watches the readers for ScannerMan's reader listeners: one thread that
 * lists the readers at an interval and tells the listeners what changed. It
 * lists through ScannerMan's own calls, so it keeps the library's lock order
 * and holds no lock of its own while a listener runs.
 *
 * <p>A listing opens every reader for a moment and leaves out one that fails
 * to open (a reader another program captures from, one busy with a request),
 * so a reader counts as removed only when several looks in a row miss it, and
 * never while it captures.
 */
final class ReaderWatch {
    static final int LOOKS_TO_REMOVE = 3;
    static final Duration DEFAULT_INTERVAL = Duration.ofSeconds(1);

    private static final class Known {
        Scanner scanner;
        int misses;

        Known(Scanner scanner) {
            this.scanner = scanner;
        }
    }

    private final List<ReaderListener> listeners = new CopyOnWriteArrayList<>();
    private final Object lock = new Object();
    private Thread thread;           // guarded by lock
    private long intervalNanos = DEFAULT_INTERVAL.toNanos(); // guarded by lock
    private boolean lookSoon;        // guarded by lock
    // Only the watching thread touches these.
    private Map<String, Known> known;
    private int warmUp;                // looks left that make up the readers there at the start

    void add(ReaderListener l) {
        synchronized (lock) {
            listeners.add(l);
            if (thread == null) {
                known = null; // a new watch takes the readers of its first look as they are
                thread = new Thread(this::run, "dactylink reader watch");
                thread.setDaemon(true);
                thread.start();
            }
        }
    }

    void remove(ReaderListener l) {
        synchronized (lock) {
            listeners.remove(l);
            lock.notifyAll();
        }
    }

    void setInterval(Duration d) {
        synchronized (lock) {
            intervalNanos = d.toNanos();
            lock.notifyAll();
        }
    }

    private void run() {
        for (;;) {
            synchronized (lock) {
                if (listeners.isEmpty()) {
                    thread = null; // a later add starts a new watch
                    return;
                }
            }
            look();
            synchronized (lock) {
                long end = System.nanoTime() + intervalNanos;
                while (!lookSoon && !listeners.isEmpty()) {
                    long left = end - System.nanoTime();
                    if (left <= 0) {
                        break;
                    }
                    try {
                        lock.wait(Math.max(1, left / 1_000_000));
                    } catch (InterruptedException e) {
                        thread = null;
                        return;
                    }
                }
                lookSoon = false;
            }
        }
    }

    // One look: the readers listed now, against those known.
    private void look() {
        Map<String, Scanner> seen = new LinkedHashMap<>();
        try {
            int n = ScannerMan.getScannerCount();
            for (int i = 0; i < n; i++) {
                Scanner s = ScannerMan.getScanner(i);
                if (s != null) {
                    seen.putIfAbsent(s.getID(), s);
                }
            }
        } catch (RuntimeException e) {
            return; // a listing that failed tells nothing about the readers
        }
        // A listing never invents a reader but may leave one out: the readers
        // there when the watch began are those of its first few looks together.
        if (known == null) {
            known = new HashMap<>();
            warmUp = LOOKS_TO_REMOVE;
        }
        if (warmUp > 0) {
            warmUp--;
            for (Map.Entry<String, Scanner> e : seen.entrySet()) {
                known.putIfAbsent(e.getKey(), new Known(e.getValue()));
            }
            return;
        }
        for (Iterator<Map.Entry<String, Known>> it = known.entrySet().iterator(); it.hasNext();) {
            Map.Entry<String, Known> e = it.next();
            Known k = e.getValue();
            Scanner now = seen.get(e.getKey());
            if (now != null) {
                k.scanner = now; // a new object after uninitialize
                k.misses = 0;
            } else if (capturing(k.scanner)) {
                k.misses = 0;
            } else if (++k.misses >= LOOKS_TO_REMOVE) {
                it.remove();
                tell(false, k.scanner, e.getKey());
            }
        }
        for (Map.Entry<String, Scanner> e : seen.entrySet()) {
            if (!known.containsKey(e.getKey())) {
                known.put(e.getKey(), new Known(e.getValue()));
                tell(true, e.getValue(), e.getKey());
            }
        }
    }

    private static boolean capturing(Scanner s) {
        try {
            return s.isCapturing();
        } catch (RuntimeException e) {
            return false; // released by uninitialize: not capturing
        }
    }

    private void tell(boolean added, Scanner s, String id) {
        for (ReaderListener l : listeners) {
            try {
                if (added) {
                    l.readerAdded(s, id);
                } else {
                    l.readerRemoved(s, id);
                }
            } catch (RuntimeException e) {
                // One listener's failure keeps neither the others nor the watch from going on.
                Thread t = Thread.currentThread();
                t.getUncaughtExceptionHandler().uncaughtException(t, e);
            }
        }
    }
}
