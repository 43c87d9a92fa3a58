package ardivex.scanners;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.List;
import org.junit.jupiter.api.Test;

/** Placed and lifted from images and pauses, on a clock of the test's own. */
class FingerWatchTest {
    private static final long MS = 1_000_000L;

    // An image whose top `share` of rows carries ridges (stripes), the rest blank.
    private static Scanner.ScanImage image(double share) {
        Scanner.ScanImage img = new Scanner.ScanImage(120, 240);
        int rows = (int) Math.round(share * img.height);
        for (int y = 0; y < img.height; y++) {
            for (int x = 0; x < img.width; x++) {
                img.buffer[y * img.width + x] = (byte) (y < rows && (x / 4) % 2 == 0 ? 40 : 230);
            }
        }
        return img;
    }

    @Test
    void coverCountsTheBlocksWithRidges() {
        assertEquals(0.0, FingerWatch.cover(image(0)), 1e-9);
        assertEquals(0.5, FingerWatch.cover(image(0.5)), 0.06);
        assertEquals(1.0, FingerWatch.cover(image(1)), 1e-9);
    }

    @Test
    void aTouchNearTheMarksDoesNotChatter() {
        FingerWatch w = new FingerWatch();
        List<FingerWatch.Change> changes = new ArrayList<>();
        long t = 0;
        // Light contact wavering around the placing mark, then one blank image among
        // the print, then the finger gone: one placed, one lifted.
        double[] shares = {0.1, 0.04, 0.1, 0.05, 0.1, 0, 0.1, 0.1, 0, 0};
        for (double s : shares) {
            t += 100 * MS;
            FingerWatch.Change c = w.image(t, image(s));
            w.delivered(t + MS);
            if (c != FingerWatch.Change.NONE) {
                changes.add(c);
            }
        }
        assertEquals(List.of(FingerWatch.Change.PLACED, FingerWatch.Change.LIFTED), changes);
    }

    @Test
    void aPauseIsALiftButASlowListenerIsNot() {
        FingerWatch w = new FingerWatch();
        long t = 0;
        assertEquals(FingerWatch.Change.PLACED, w.image(t, image(0.8)));
        // Each delivery takes a second: the next image is already waiting when it ends.
        for (int i = 0; i < 5; i++) {
            w.delivered(t + 1000 * MS);
            t += 1000 * MS;
            assertEquals(FingerWatch.Change.NONE, w.image(t + MS, image(0.8)));
            assertFalse(w.idle(t + 50 * MS));
        }
        w.delivered(t + 2 * MS);
        // No image for longer than the floor of the gap: lifted once.
        assertFalse(w.idle(t + 300 * MS));
        assertTrue(w.idle(t + 2500 * MS));
        assertFalse(w.idle(t + 2600 * MS));
        assertFalse(w.isPlaced());
        // An image after a pause the idle calls missed: lifted, then placed, before it.
        assertEquals(FingerWatch.Change.PLACED, w.image(t + 3000 * MS, image(0.8)));
        w.delivered(t + 3001 * MS);
        assertEquals(FingerWatch.Change.LIFTED_THEN_PLACED, w.image(t + 6000 * MS, image(0.8)));
    }
}
