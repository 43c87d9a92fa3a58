package ardivex.templates;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.matching.NFMatcher;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.Test;

class FingerMinutiaeRecordTest {

    private static byte[] bytes(int... v) {
        byte[] b = new byte[v.length];
        for (int i = 0; i < v.length; i++) {
            b[i] = (byte) v[i];
        }
        return b;
    }

    /** ISO: one view of a 300 x 400 picture at 197 pixels per cm, finger quality 80. */
    static final byte[] ISO = bytes(
            'F', 'M', 'R', 0, ' ', '2', '0', 0,
            0, 0, 0, 0x2A,                      // record length 42
            0, 0,                               // capture equipment
            0x01, 0x2C, 0x01, 0x90,             // 300 x 400
            0, 0xC5, 0, 0xC5,                   // 197 x 197
            1, 0,                               // 1 view
            0x02, 0x00, 0x50, 0x02,             // right index, view 0, quality 80, 2 minutiae
            0x40, 0x64, 0x00, 0x96, 0x40, 0x3C, // ending (100, 150), 90 degrees, quality 60
            0x81, 0x2B, 0x00, 0x0A, 0xC8, 0x00, // bifurcation (299, 10), 200 steps, quality not known
            0, 0);

    /** ANSI: one view of a 256 x 360 picture, the angle in 2-degree units. */
    static final byte[] ANSI = bytes(
            'F', 'M', 'R', 0, ' ', '2', '0', 0,
            0x00, 0x26,                         // record length 38
            0x00, 0x33, 0x00, 0x01,             // CBEFF product identifier
            0, 0,
            0x01, 0x00, 0x01, 0x68,             // 256 x 360
            0, 0xC5, 0, 0xC5,
            1, 0,
            0x07, 0x00, 0x5A, 0x01,             // left index, quality 90, 1 minutia
            0x40, 0x1E, 0x00, 0x28, 0x2D, 0x14, // ending (30, 40), 45 (90 degrees), quality 20
            0, 0);

    /** Minutiae as {x, y, type, angle}, in a 400 x 400 picture. */
    static List<int[]> finger(long seed) {
        Random r = new Random(seed);
        List<int[]> out = new ArrayList<>();
        while (out.size() < 45) {
            int x = 30 + r.nextInt(340);
            int y = 30 + r.nextInt(340);
            boolean close = false;
            for (int[] m : out) {
                close |= Math.hypot(m[0] - x, m[1] - y) < 12;
            }
            if (!close) {
                out.add(new int[] {x, y, r.nextInt(2), r.nextInt(256)});
            }
        }
        return out;
    }

    /** NFRecord bytes without the engine's header: image size and resolution must be given. */
    static byte[] template(List<int[]> minutiae) {
        NFRecordTest.Builder b = new NFRecordTest.Builder();
        for (int[] m : minutiae) {
            b.minutia(NFRecordTest.word(m[0], m[1], m[2], m[3]));
        }
        return b.block(4).block(7).block(4).build();
    }

    static final RecordOptions PICTURE = RecordOptions.DEFAULT.withImageSize(400, 400).withResolution(500);

    static int angleDifference(int a, int b) {
        return Math.abs(((a - b + 128) & 255) - 128);
    }

    @Test
    void handWrittenRecordsReadExactly() throws Exception {
        assertEquals(MinutiaeRecordFormat.ISO_19794_2_2005, FingerMinutiaeRecord.detect(ISO));
        assertEquals(MinutiaeRecordFormat.ANSI_378_2004, FingerMinutiaeRecord.detect(ANSI));

        List<NFMinutia> iso = FingerMinutiaeRecord.fromIso(ISO).getMinutiae();
        assertEquals(2, iso.size());
        NFMinutia a = iso.get(0);
        assertEquals(100, a.X);
        assertEquals(150, a.Y);
        assertEquals(NFMinutiaType.RIDGE_ENDING, a.getType());
        assertEquals(64, a.Angle);
        assertEquals(60, a.Quality);
        assertEquals(255, a.Curvature);
        NFMinutia b = iso.get(1);
        assertEquals(299, b.X);
        assertEquals(10, b.Y);
        assertEquals(NFMinutiaType.BIFURCATION, b.getType());
        assertEquals(200, b.Angle);
        assertEquals(255, b.Quality);

        NFMinutia c = FingerMinutiaeRecord.fromAnsi(ANSI).getMinutiae().get(0);
        assertEquals(30, c.X);
        assertEquals(40, c.Y);
        assertEquals(64, c.Angle);
        assertEquals(20, c.Quality);
        // Either record, recognised by content.
        assertEquals(1, FingerMinutiaeRecord.toNFRecord(ANSI).getMinutiae().size());
        assertEquals(2, FingerMinutiaeRecord.toNFRecord(ISO, 0).getMinutiae().size());
    }

    @Test
    void exportedTemplatesFollowTheLayoutAndTheOptions() throws Exception {
        byte[] t = template(List.of(new int[] {100, 150, 0, 64}, new int[] {299, 10, 1, 200}));
        RecordOptions o = RecordOptions.DEFAULT.withImageSize(300, 400).withResolution(500).withFingerPosition(2)
                .withFingerQuality(80);
        byte[] iso = FingerMinutiaeRecord.toIso(t, o);
        // The hand-written record but for the minutia quality, which the template does not carry.
        byte[] expected = ISO.clone();
        expected[33] = 0;
        assertArrayEquals(expected, iso);

        byte[] ansi = FingerMinutiaeRecord.toAnsi(t, o.withCbeffProductId(0x33, 1).withCaptureEquipment(1, 0x23));
        assertEquals(MinutiaeRecordFormat.ANSI_378_2004, FingerMinutiaeRecord.detect(ansi));
        assertEquals(0x33, ansi[11]);
        assertEquals(0x10, ansi[14]);
        assertEquals(0x23, ansi[15]);
        assertEquals(0x2D, ansi[34]); // 64 steps: 90 degrees, 45 in 2-degree units
        assertEquals(141, ansi[40] & 0xFF);
    }

    @Test
    void minutiaeComeBackAndTemplatesStillMatchThroughBothRecords() throws Exception {
        NFMatcher matcher = new NFMatcher();
        int threshold = NFMatcher.threshold(1e-4);
        for (long seed = 1; seed <= 10; seed++) {
            List<int[]> m = finger(seed);
            byte[] t = template(m);
            NFRecord viaIso = FingerMinutiaeRecord.fromIso(FingerMinutiaeRecord.toIso(t, PICTURE));
            NFRecord viaAnsi = FingerMinutiaeRecord.fromAnsi(FingerMinutiaeRecord.toAnsi(t, PICTURE));
            List<NFMinutia> iso = viaIso.getMinutiae();
            List<NFMinutia> ansi = viaAnsi.getMinutiae();
            assertEquals(m.size(), iso.size());
            assertEquals(m.size(), ansi.size());
            for (int k = 0; k < m.size(); k++) {
                int[] p = m.get(k);
                for (NFMinutia back : List.of(iso.get(k), ansi.get(k))) {
                    assertEquals(p[0], back.X);
                    assertEquals(p[1], back.Y);
                    assertEquals(p[2], back.getTypeCode());
                }
                assertEquals(p[3], iso.get(k).Angle);
                assertTrue(angleDifference(p[3], ansi.get(k).Angle) <= 1, "seed " + seed + " minutia " + k);
            }
            int s1 = matcher.verify(new NFRecord(t), viaIso);
            int s2 = matcher.verify(new NFRecord(t), viaAnsi);
            int s3 = matcher.verify(viaIso, viaAnsi);
            assertTrue(s1 >= threshold && s2 >= threshold && s3 >= threshold,
                    "seed " + seed + ": " + s1 + ", " + s2 + ", " + s3 + " against threshold " + threshold);
            // An imported template carries the picture, so it is exported again without options.
            assertArrayEquals(FingerMinutiaeRecord.toIso(t, PICTURE), FingerMinutiaeRecord.toIso(viaIso));
        }
    }

    @Test
    void malformedInputIsRefusedWithItsReason() {
        byte[] cut = Arrays.copyOf(ISO, ISO.length - 1);
        byte[] zeroViews = ISO.clone();
        zeroViews[22] = 0;
        byte[] outside = ISO.clone();
        outside[28] = 0x41;
        outside[29] = 0x2C; // the ending at x = 300, in a 300-pixel-wide picture
        Object[][] cases = {
            {new byte[] {1, 2, 3}, "do not begin with \"FMR\""},
            {cut, "disagrees"},
            {template(finger(1)), "not a finger minutiae record"},
        };
        for (Object[] c : cases) {
            MinutiaeRecordException e = assertThrows(MinutiaeRecordException.class,
                    () -> FingerMinutiaeRecord.toNFRecord((byte[]) c[0]));
            assertTrue(e.getMessage().contains((String) c[1]), e.getMessage());
        }
        assertMessage("holds 1 finger view; there is no view 1", () -> FingerMinutiaeRecord.fromIso(ISO, 1));
        assertMessage("is an ANSI INCITS 378-2004 record, not an ISO", () -> FingerMinutiaeRecord.fromIso(ANSI));
        assertMessage("is an ISO/IEC 19794-2:2005 record, not an ANSI", () -> FingerMinutiaeRecord.fromAnsi(ISO));
        assertMessage("holds no finger view", () -> FingerMinutiaeRecord.fromIso(zeroViews));
        assertMessage("lies at (300, 150), outside the 300 x 400 image", () -> FingerMinutiaeRecord.fromIso(outside));
        assertMessage("does not say the size of its image", () -> FingerMinutiaeRecord.toIso(template(finger(2))));
        assertMessage("not a finger minutiae record", () -> FingerMinutiaeRecord.detect(new byte[40]));

        assertThrows(NullPointerException.class, () -> FingerMinutiaeRecord.toIso((byte[]) null));
        assertThrows(NullPointerException.class, () -> FingerMinutiaeRecord.fromAnsi(null));
        assertThrows(NullPointerException.class, () -> FingerMinutiaeRecord.toAnsi(template(finger(3)), null));
        assertThrows(IllegalArgumentException.class, () -> RecordOptions.DEFAULT.withFingerPosition(11));
        assertThrows(IllegalArgumentException.class, () -> RecordOptions.DEFAULT.withImageSize(0, 10));
        assertThrows(IllegalArgumentException.class, () -> RecordOptions.DEFAULT.withCaptureEquipment(16, 0));
        assertFalse(FingerMinutiaeRecord.isMinutiaeRecord(null));
        assertFalse(FingerMinutiaeRecord.isMinutiaeRecord(template(finger(4))));
        assertTrue(FingerMinutiaeRecord.isMinutiaeRecord(ANSI));
    }

    interface Call {
        Object run() throws Exception;
    }

    static void assertMessage(String text, Call call) {
        MinutiaeRecordException e = assertThrows(MinutiaeRecordException.class, call::run);
        assertTrue(e.getMessage().contains(text), e.getMessage());
    }

    @Test
    void conversionsRunInParallelWithTheSameResults() throws Exception {
        byte[] t = template(finger(7));
        byte[] iso = FingerMinutiaeRecord.toIso(t, PICTURE);
        byte[] back = FingerMinutiaeRecord.fromIso(iso).getData();
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            List<Future<Boolean>> results = new ArrayList<>();
            for (int i = 0; i < 16; i++) {
                results.add(pool.submit(() -> {
                    for (int k = 0; k < 50; k++) {
                        if (!Arrays.equals(iso, FingerMinutiaeRecord.toIso(t, PICTURE))
                                || !Arrays.equals(back, FingerMinutiaeRecord.toNFRecord(iso).getData())) {
                            return false;
                        }
                    }
                    return true;
                }));
            }
            for (Future<Boolean> f : results) {
                assertTrue(f.get());
            }
        } finally {
            pool.shutdown();
        }
    }
}
