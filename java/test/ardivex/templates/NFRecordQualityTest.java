package ardivex.templates;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.images.ImageQuality;
import ardivex.images.ImageQuality.Hint;

import java.util.Arrays;
import java.util.List;

import org.junit.jupiter.api.Test;

/** The quality score in the header and the advice in the engine's summary block. */
class NFRecordQualityTest {

    /** A template without minutiae: header, then the summary block of the given bytes, then empty counted blocks. */
    static byte[] record(int quality, int... summary) {
        byte[] d = new byte[26 + 3 + summary.length + 6];
        d[16] = (byte) quality;
        int a = 26;
        d[a + 1] = (byte) summary.length;
        for (int i = 0; i < summary.length; i++) {
            d[a + 3 + i] = (byte) summary[i];
        }
        return d;
    }

    @Test
    void scoreAndAdviceReadInOrder() {
        NFRecord r = new NFRecord(record(37, 1, 0, 8, 90, 37, 0, 0, 0, 4, 3, 0, 0, 0, 0, 0, 0));
        assertEquals(37, r.getQuality());
        assertEquals(new ImageQuality(37, List.of(Hint.OFF_CENTRE, Hint.TOO_LITTLE_FINGER)), r.getImageQuality());
    }

    @Test
    void advicePastTheBlockOrUnknownIsLeftOut() {
        // An old summary of 8 bytes: no advice.
        assertTrue(new NFRecord(record(80, 1, 0, 8, 90, 80, 0, 0, 0)).getImageQuality().hints().isEmpty());
        // Unknown codes skipped, repeats once, the list ends at a zero.
        NFRecord r = new NFRecord(record(20, 0, 0, 0, 0, 0, 0, 0, 0, 2, 77, 2, 6, 0, 1, 0, 0));
        assertEquals(List.of(Hint.TOO_DARK, Hint.TOO_DRY), r.getImageQuality().hints());
        // A block length that runs past the bytes: read only what is there.
        byte[] d = record(20, 0, 0, 0, 0, 0, 0, 0, 0, 1);
        d[27] = 100;
        byte[] cut = Arrays.copyOf(d, 26 + 3 + 9);
        assertEquals(List.of(Hint.TOO_LIGHT), new NFRecord(cut).getImageQuality().hints());
        // Minutia count and size that put the block past the end: the score alone.
        byte[] far = record(55);
        far[24] = (byte) 200;
        far[25] = 7;
        assertEquals(new ImageQuality(55, List.of()), new NFRecord(far).getImageQuality());
    }

    @Test
    void refusesWhatIsNoScore() {
        assertThrows(IllegalStateException.class, () -> new NFRecord().getQuality());
        assertThrows(IllegalStateException.class, () -> new NFRecord(new byte[25]).getImageQuality());
        IllegalStateException e = assertThrows(IllegalStateException.class, () -> new NFRecord(record(101)).getQuality());
        assertTrue(e.getMessage().contains("101"), e.getMessage());
    }

    @Test
    void imageQualityChecksItsParts() {
        assertThrows(IllegalArgumentException.class, () -> new ImageQuality(-1, List.of()));
        assertThrows(IllegalArgumentException.class, () -> new ImageQuality(101, List.of()));
        assertThrows(IllegalArgumentException.class, () -> new ImageQuality(5, List.of(Hint.SMUDGED, Hint.SMUDGED)));
        assertThrows(NullPointerException.class, () -> new ImageQuality(5, Arrays.asList(Hint.SMUDGED, null)));
        List<Hint> hints = new java.util.ArrayList<>(List.of(Hint.TOO_DRY));
        ImageQuality q = new ImageQuality(5, hints);
        hints.clear();
        assertEquals(List.of(Hint.TOO_DRY), q.hints());
        assertThrows(UnsupportedOperationException.class, () -> q.hints().add(Hint.TOO_DARK));
    }
}
