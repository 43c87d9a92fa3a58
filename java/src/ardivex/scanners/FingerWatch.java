package ardivex.scanners;

import java.time.Duration;
import java.util.concurrent.TimeUnit;

/**
 * Tells placed from lifted for one scanner from its images and the pauses
 * between them. Runs on the scanner's delivering thread only (images and the
 * library's idle calls); {@link #reset} comes from a start.
 */
final class FingerWatch {
    /** What a step found: nothing, or the transitions to tell, in order. */
    enum Change { NONE, PLACED, LIFTED, LIFTED_THEN_PLACED }

    // Share of the image's blocks with ridge contrast: a touch begins at the
    // higher mark and ends below the lower one (twice in a row), so that a
    // light or partial touch near one mark does not chatter.
    static final double PLACE_COVER = 0.06;
    static final double LIFT_COVER = 0.02;
    static final int LOW_IMAGES_TO_LIFT = 2;
    private static final int BLOCK = 12;
    // Grey spread within a block that ridges give and sensor noise does not.
    private static final double PRINT_SPREAD = 9.0;

    // A pause counts as a lift once it exceeds GAP_FACTOR typical intervals
    // of the touch's images, but never less than the floor (a reader that
    // hiccups briefly does not end a touch).
    private static final double GAP_FACTOR = 4.0;
    private static final long MIN_GAP_NANOS = TimeUnit.MILLISECONDS.toNanos(400);
    private static final long MAX_GAP_NANOS = TimeUnit.MILLISECONDS.toNanos(2000);

    private boolean placed;
    private int lowImages;
    private long lastArrival = Long.MIN_VALUE; // when the last image came
    private long lastActivity;                 // when the last delivery ended
    private double typicalInterval;            // of a touch's images, in ns; 0 unknown
    private long fixedGap;                     // set by the application; 0 adaptive

    synchronized void reset() {
        placed = false;
        lowImages = 0;
        lastArrival = Long.MIN_VALUE;
        typicalInterval = 0;
    }

    synchronized void setGap(Duration gap) {
        fixedGap = gap == null ? 0 : gap.toNanos();
    }

    synchronized boolean isPlaced() {
        return placed;
    }

    private long gap() {
        if (fixedGap > 0) {
            return fixedGap;
        }
        long g = (long) (GAP_FACTOR * typicalInterval);
        return Math.max(MIN_GAP_NANOS, Math.min(MAX_GAP_NANOS, g));
    }

    /** An image came at {@code now}: what to tell before it is handed on. */
    synchronized Change image(long now, Scanner.ScanImage img) {
        boolean wasLifted = false;
        if (placed && now - lastActivity > gap()) {
            placed = false; // the pause before this image was a lift
            wasLifted = true;
        }
        if (placed && lastArrival != Long.MIN_VALUE) {
            double d = now - lastArrival;
            typicalInterval = typicalInterval == 0 ? d : 0.8 * typicalInterval + 0.2 * d;
        }
        lastArrival = now;
        lastActivity = now;
        double cover = cover(img);
        boolean nowPlaced = false;
        boolean nowLifted = false;
        if (!placed && cover >= PLACE_COVER) {
            placed = true;
            lowImages = 0;
            nowPlaced = true;
        } else if (placed && cover < LIFT_COVER) {
            if (++lowImages >= LOW_IMAGES_TO_LIFT) {
                placed = false;
                nowLifted = true;
            }
        } else {
            lowImages = 0;
        }
        if (wasLifted) {
            return nowPlaced ? Change.LIFTED_THEN_PLACED : Change.LIFTED;
        }
        return nowPlaced ? Change.PLACED : nowLifted ? Change.LIFTED : Change.NONE;
    }

    /** A delivery ended at {@code now}: pauses count from here. */
    synchronized void delivered(long now) {
        lastActivity = now;
    }

    /** No image came for a while: true when the finger is to be told lifted. */
    synchronized boolean idle(long now) {
        if (placed && now - lastActivity > gap()) {
            placed = false;
            typicalInterval = 0;
            return true;
        }
        return false;
    }

    /** Share of the image's blocks whose grey spread shows ridges, 0 to 1. */
    static double cover(Scanner.ScanImage img) {
        if (img == null || img.buffer == null || img.width < BLOCK || img.height < BLOCK) {
            return 0;
        }
        int bw = img.width / BLOCK;
        int bh = img.height / BLOCK;
        int printed = 0;
        byte[] b = img.buffer;
        int n = BLOCK * BLOCK / 4;
        for (int by = 0; by < bh; by++) {
            for (int bx = 0; bx < bw; bx++) {
                long sum = 0;
                long sq = 0;
                for (int y = by * BLOCK; y < by * BLOCK + BLOCK; y += 2) {
                    int row = y * img.width;
                    for (int x = bx * BLOCK; x < bx * BLOCK + BLOCK; x += 2) {
                        int v = b[row + x] & 0xff;
                        sum += v;
                        sq += v * v;
                    }
                }
                double mean = (double) sum / n;
                double var = (double) sq / n - mean * mean;
                if (var >= PRINT_SPREAD * PRINT_SPREAD) {
                    printed++;
                }
            }
        }
        return (double) printed / (bw * bh);
    }
}
