package ardivex.matching;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.templates.NFRecord;
import java.util.Arrays;
import org.junit.jupiter.api.Test;

class NFMatcherTest {
    private final NFMatcher matcher = new NFMatcher();

    @Test
    void sameFingerScoresAboveTheStrictestThresholdAndOthersBelow() throws Exception {
        byte[] a = Templates.record(1);
        byte[] turned = Templates.record(Templates.moved(Templates.finger(1), 30, 40, 0));
        assertTrue(matcher.verify(a, a) > NFMatcher.threshold(1e-4));
        assertTrue(matcher.verify(a, turned) > NFMatcher.threshold(1e-3));
        assertEquals(matcher.verify(a, turned), matcher.verify(turned, a));
        assertEquals(matcher.verify(a, turned), matcher.verify(new NFRecord(a), new NFRecord(turned)));
        for (long seed = 2; seed < 12; seed++) {
            assertTrue(matcher.verify(a, Templates.record(seed)) < NFMatcher.threshold(1e-3), "seed " + seed);
        }
    }

    @Test
    void malformedTemplatesRaiseMatchingExceptionWithTheirFault() {
        byte[] good = Templates.record(3);
        MatchingException shortOne = assertThrows(MatchingException.class,
                () -> matcher.verify(Arrays.copyOf(good, 10), good));
        assertTrue(shortOne.getMessage().contains("too short"), shortOne.getMessage());
        MatchingException cut = assertThrows(MatchingException.class,
                () -> matcher.verify(good, Arrays.copyOf(good, 60)));
        assertTrue(cut.getMessage().contains("run past its end"), cut.getMessage());
        assertThrows(MatchingException.class, () -> matcher.verify(new byte[0], good));
        MatchingException none = assertThrows(MatchingException.class, () -> matcher.verify(good, (byte[]) null));
        assertTrue(none.getMessage().contains("null"), none.getMessage());
        assertThrows(MatchingException.class, () -> matcher.verify(new NFRecord(good), null));
        assertThrows(MatchingException.class, () -> matcher.verify(new NFRecord(good), new NFRecord(null)));
    }

    @Test
    void thresholdInterpolatesBetweenDocumentedRatesAndClampsOutside() {
        int t2 = NFMatcher.threshold(1e-2);
        int t3 = NFMatcher.threshold(1e-3);
        int t4 = NFMatcher.threshold(1e-4);
        assertTrue(t2 < t3 && t3 < t4, t2 + " " + t3 + " " + t4);
        int between = NFMatcher.threshold(3e-4);
        assertTrue(t3 < between && between < t4, "3e-4 gives " + between);
        assertEquals(t2, NFMatcher.threshold(0.2));
        assertEquals(t4, NFMatcher.threshold(1e-7));
        assertEquals(t4, NFMatcher.threshold(Double.NaN));
    }
}
