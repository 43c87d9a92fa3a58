package ardivex.tavoro;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.fingers.NFExtractor;
import ardivex.images.ImageQuality;
import ardivex.matching.FingerprintBase;
import ardivex.matching.GuidedEnrollment;
import ardivex.matching.NFMatcher;
import ardivex.scanners.Scanner;
import ardivex.scanners.ScannerMan;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/**
 * Guided enrollment against the realistic simulator: touches of one finger
 * enroll, touches of two fingers are refused, a finger enrolled under another
 * code is reported, and cancel ends the wait before the next image.
 */
class GuidedEnrollmentTest {
    @AfterEach
    void tearDown() {
        ScannerMan.uninitialize();
    }

    private static GuidedEnrollment guide(List<String> steps) throws Exception {
        return new GuidedEnrollment(new NFExtractor()).timeout(Duration.ofSeconds(30))
                .progress((step, touch, of, message) -> steps.add(step + " " + touch + "/" + of + " " + message));
    }

    @Test
    void threeTouchesOfOneFingerEnroll_AndAreFoundUnderTheirCodeOnly() throws Exception {
        try (Simulated sim = new Simulated(1, "--fingers=1", "--touches=50", "--seed=7");
             FingerprintBase base = FingerprintBase.inMemory()) {
            Scanner s = ScannerMan.getScanner(0);
            List<String> steps = Collections.synchronizedList(new ArrayList<>());
            GuidedEnrollment.Result r = guide(steps).checkAgainst(base, "alice").enroll(s);
            assertFalse(s.isCapturing(), "the capture it started is stopped again");
            assertEquals(3, r.touches().size());
            assertTrue(r.duplicates().isEmpty());
            assertTrue(steps.get(0).startsWith("PLACE 1/3"), steps.toString());
            assertTrue(steps.contains("LIFT 1/3 Lift your finger"), steps.toString());
            assertTrue(steps.get(steps.size() - 1).startsWith("DONE"), steps.toString());
            base.enroll("alice", 1, r.template());

            // The same finger again, under another code: reported, the caller decides.
            GuidedEnrollment.Result again = guide(steps).checkAgainst(base, "bob").enroll(s);
            assertEquals(1, again.duplicates().size());
            assertEquals("alice", again.duplicates().get(0).code());
            assertTrue(again.duplicates().get(0).score() >= NFMatcher.threshold(1e-3));
            // Under its own code it is no duplicate.
            assertTrue(guide(steps).checkAgainst(base, "alice").enroll(s).duplicates().isEmpty());
        }
    }

    @Test
    void aPoorTouchIsRefusedWithItsHintAndTakenAgain() throws Exception {
        // Every second touch is poor: light and partial.
        try (Simulated sim = new Simulated(1, "--fingers=1", "--touches=50", "--poor-every=2", "--seed=7")) {
            List<String> steps = Collections.synchronizedList(new ArrayList<>());
            GuidedEnrollment.Result r = guide(steps).enroll(ScannerMan.getScanner(0));
            List<String> refused = new ArrayList<>();
            for (String st : steps) {
                if (st.startsWith("REFUSED")) {
                    refused.add(st);
                }
            }
            assertFalse(refused.isEmpty(), steps.toString());
            for (String st : refused) {
                boolean hinted = false;
                for (ImageQuality.Hint h : ImageQuality.Hint.values()) {
                    hinted |= st.contains(h.message());
                }
                assertTrue(hinted || st.contains("not clear enough"), st);
            }
            assertTrue(r.quality() >= GuidedEnrollment.DEFAULT_MIN_QUALITY);
        }
    }

    @Test
    void touchesOfTwoFingersAreRefused() throws Exception {
        // One touch per finger: the fingers alternate.
        try (Simulated sim = new Simulated(1, "--fingers=2", "--touches=1", "--seed=11")) {
            List<String> steps = Collections.synchronizedList(new ArrayList<>());
            GuidedEnrollment.EnrollmentException e = assertThrows(GuidedEnrollment.EnrollmentException.class,
                    () -> guide(steps).enroll(ScannerMan.getScanner(0)));
            assertEquals(GuidedEnrollment.Reason.INCONSISTENT, e.reason());
            assertTrue(e.getMessage().contains("touch 2"), e.getMessage());
        }
    }

    @Test
    void cancelEndsTheWaitBeforeTheNextImage() throws Exception {
        try (Simulated sim = new Simulated(1, "--fingers=1", "--touches=50", "--lift=2500")) {
            Scanner s = ScannerMan.getScanner(0);
            AtomicInteger images = new AtomicInteger();
            s.addScanListener((sc, e) -> images.incrementAndGet());
            List<String> steps = Collections.synchronizedList(new ArrayList<>());
            AtomicInteger atCancel = new AtomicInteger(-1);
            GuidedEnrollment[] g = new GuidedEnrollment[1];
            g[0] = guide(steps).progress((step, touch, of, message) -> {
                if (step == GuidedEnrollment.Step.PLACE && touch == 2) {
                    // Cancelled from another thread while it waits for the second touch.
                    Thread t = new Thread(() -> {
                        atCancel.set(images.get());
                        g[0].cancel();
                    });
                    t.start();
                }
            });
            GuidedEnrollment.EnrollmentException e = assertThrows(GuidedEnrollment.EnrollmentException.class,
                    () -> g[0].enroll(s));
            int atReturn = images.get();
            assertEquals(GuidedEnrollment.Reason.CANCELLED, e.reason());
            assertEquals(atCancel.get(), atReturn, "an image came between the cancel and the return");
            assertFalse(s.isCapturing());
            // A cancelled guide refuses the next enrollment at once.
            assertEquals(GuidedEnrollment.Reason.CANCELLED, assertThrows(GuidedEnrollment.EnrollmentException.class,
                    () -> g[0].enroll(s)).reason());
            assertNotNull(s.getID());
        }
    }

    @Test
    void theWaitForATouchEndsAtItsTimeOut() throws Exception {
        // One touch, then the finger stays away (the wait for a lift is not
        // tried the same way: a pause in the images under load is a lift).
        try (Simulated sim = new Simulated(1, "--fingers=1", "--touches=50", "--lift=60000")) {
            Scanner s = ScannerMan.getScanner(0);
            GuidedEnrollment.EnrollmentException e = assertThrows(GuidedEnrollment.EnrollmentException.class,
                    () -> guide(new ArrayList<>()).timeout(Duration.ofSeconds(3)).enroll(s));
            assertEquals(GuidedEnrollment.Reason.TIMED_OUT, e.reason());
            assertTrue(e.getMessage().startsWith("No finger was placed within 3.0 s"), e.getMessage());
            assertFalse(s.isCapturing());
        }
    }
}
