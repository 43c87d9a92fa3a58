package ardivex.tavoro;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import ardivex.scanners.FingerListener;
import ardivex.scanners.ReaderListener;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.function.BooleanSupplier;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Finger and reader events against the realistic simulator, counted in the
 * images it serves: each touch gives one placed and one lifted, in order with
 * the touch's images; an unplugged and replugged reader one removed and one
 * added; a capturing reader no removal.
 */
class FingerAndReaderEventsTest {
    private final List<ReaderListener> readerListeners = new ArrayList<>();

    @AfterEach
    void tearDown() {
        readerListeners.forEach(ScannerMan::removeReaderListener);
        ScannerMan.uninitialize();
    }

    private static void await(long seconds, String what, BooleanSupplier done) throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(seconds);
        while (!done.getAsBoolean()) {
            if (System.nanoTime() > end) {
                fail("timed out waiting for " + what);
            }
            Thread.sleep(20);
        }
    }

    // What one scanner's listeners saw, in order: "P", "L", or the hash of an image.
    private static List<Object> record(Scanner s) {
        List<Object> seen = Collections.synchronizedList(new ArrayList<>());
        s.addFingerListener(new FingerListener() {
            @Override
            public void fingerPlaced(Scanner scanner) {
                seen.add("P");
            }

            @Override
            public void fingerLifted(Scanner scanner) {
                seen.add("L");
            }
        });
        s.addScanListener((scanner, e) -> seen.add(Simulated.hash(e.image.buffer)));
        return seen;
    }

    private static int touchesSeen(List<Object> seen, Map<Long, Simulated.Served> served) {
        synchronized (seen) {
            return (int) seen.stream().filter(o -> o instanceof Long && served.containsKey(o))
                    .map(o -> served.get(o).touch).distinct().count();
        }
    }

    @Test
    void everyTouchIsPlacedThenLiftedInOrderWithItsImages() throws Exception {
        // A poor touch among them: light and partial, it is still a finger on the reader.
        try (Simulated sim = new Simulated(1, "--touch=1000", "--lift=1200", "--fingers=2", "--touches=2",
                "--poor-every=3", "--seed=5")) {
            Scanner s = ScannerMan.getScanner(0);
            assertNotNull(s);
            List<Object> seen = record(s);
            s.startCapturing();
            // Four touches and the first image of a fifth.
            await(60, "five touches", () -> {
                try {
                    return touchesSeen(seen, sim.served()) >= 5;
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            s.stopCapturing();
            List<Object> events;
            synchronized (seen) {
                events = new ArrayList<>(seen);
            }
            Map<Long, Simulated.Served> served = sim.served();
            int placed = 0;
            int lifted = 0;
            int begun = 0;          // touches whose images began
            int current = -1;       // the touch whose images come now
            int imagesOfTouch = 0;
            boolean sawPoor = false;
            for (Object o : events) {
                if ("P".equals(o)) {
                    assertEquals(placed, lifted, "placed twice without a lift: " + events);
                    placed++;
                } else if ("L".equals(o)) {
                    lifted++;
                    assertEquals(placed, lifted, "lifted without a placed: " + events);
                } else {
                    Simulated.Served img = served.get(o);
                    assertNotNull(img, "an image the simulator never served");
                    if (img.touch != current) {
                        assertTrue(img.touch > current, "the touches came back in time");
                        // Every earlier touch lifted before this one's first image.
                        assertEquals(begun, lifted, "touch " + img.touch + " began before touch " + current
                                + " was lifted: " + events);
                        if (begun == 4) {
                            break; // the fifth touch: only its beginning was waited for
                        }
                        begun++;
                        current = img.touch;
                        imagesOfTouch = 0;
                    }
                    sawPoor |= img.poor;
                    if (++imagesOfTouch >= 3) {
                        assertEquals(begun, placed, "touch " + current + " not placed by its third image: " + events);
                    }
                }
            }
            assertEquals(4, lifted, "one lift per touch: " + events);
            // The fifth touch's placed came before its first image.
            assertEquals(5, placed, "one placed per touch: " + events);
            assertTrue(sawPoor, "the poor touch was served");
        }
    }

    @Test
    void unpluggedAndReplugged_OneRemovedAndOneAdded_NoneForTheCapturingReader() throws Exception {
        try (Simulated sim = new Simulated(2, "--touch=800", "--lift=400")) {
            Scanner capturing = ScannerMan.getScanner(0);
            Scanner other = ScannerMan.getScanner(1);
            assertNotNull(capturing);
            assertNotNull(other);
            String otherId = other.getID();
            List<Long> images = Collections.synchronizedList(new ArrayList<>());
            capturing.addScanListener((sc, e) -> images.add(Simulated.hash(e.image.buffer)));
            capturing.startCapturing();

            List<String> events = Collections.synchronizedList(new ArrayList<>());
            List<Integer> countsFromListener = Collections.synchronizedList(new ArrayList<>());
            List<String> idsFromListener = Collections.synchronizedList(new ArrayList<>());
            ReaderListener l = new ReaderListener() {
                @Override
                public void readerAdded(Scanner scanner, String id) {
                    events.add("added " + id);
                    // Calling back into the manager from the watch works.
                    int n = ScannerMan.getScannerCount();
                    countsFromListener.add(n);
                    idsFromListener.add(ScannerMan.getScanner(n - 1).getID());
                }

                @Override
                public void readerRemoved(Scanner scanner, String id) {
                    events.add("removed " + id);
                    countsFromListener.add(ScannerMan.getScannerCount());
                }
            };
            ScannerMan.setReaderWatchInterval(Duration.ofMillis(150));
            ScannerMan.addReaderListener(l);
            readerListeners.add(l);
            // The watch takes its first looks while the sensor captures.
            int before = images.size();
            await(30, "images while watching", () -> images.size() >= before + 50);
            sim.command("unplug 1 3000");
            try {
                await(90, "the reader back", () -> events.size() >= 2);
            } catch (AssertionError e) {
                fail(e.getMessage() + "; events " + events);
            }
            // Twenty more images with the watch going: no more events.
            int mid = images.size();
            await(30, "images after the replug", () -> images.size() >= mid + 20);
            assertEquals(List.of("removed " + otherId, "added " + otherId), events);
            assertEquals(List.of(1, 2), countsFromListener);
            assertEquals(List.of(otherId), idsFromListener);
            assertTrue(capturing.isCapturing());
        }
    }
}
