package ardivex.fingers;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.images.NImage;
import ardivex.matching.MatchingException;
import ardivex.matching.NFMatcher;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFRecord;

import java.io.File;
import java.util.Arrays;
import java.util.Random;

import org.junit.jupiter.api.Test;

/**
 * The library with the engine the project ships, where the build put it
 * beside the library: the two enumerations must select what the engine writes.
 */
class NFExtractorEngineTest {
    /** Concentric ridges, about 9 pixels apart, on a white background. */
    private static NImage rings(int width, int height) {
        byte[] b = new byte[width * height];
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                double r = Math.hypot(x - width / 2.0, y - height / 2.0 + 30);
                double v = 128 + 110 * Math.cos(2 * Math.PI * r / 9.0);
                b[y * width + x] = (byte) Math.max(0, Math.min(255, (int) v));
            }
        }
        return new NImage(width, height, b);
    }

    /**
     * Gently bent ridges about 9 pixels apart whose phase turns around
     * scattered points: each point is a ridge ending or a fork.
     */
    private static NImage print(int width, int height) {
        Random r = new Random(7);
        double[][] points = new double[24][];
        for (int i = 0; i < points.length; i++) {
            points[i] = new double[] {50 + r.nextDouble() * (width - 100), 50 + r.nextDouble() * (height - 100),
                r.nextBoolean() ? 1 : -1};
        }
        byte[] b = new byte[width * height];
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                double phase = 2 * Math.PI * (x + 12 * Math.sin(y / 60.0)) / 9.0;
                for (double[] p : points) {
                    phase += p[2] * Math.atan2(y - p[1], x - p[0]);
                }
                b[y * width + x] = (byte) (int) (150 + 90 * Math.cos(phase));
            }
        }
        return new NImage(width, height, b);
    }

    @Test
    void enumerationsSelectTheRecordFormat() throws Exception {
        File lib = FakeEngine.libraryFolder();
        String suffix = System.getProperty("os.name").startsWith("Windows") ? ".dll" : ".so";
        assertTrue(lib.getName().equals("bin") && new File(lib, "OmExtract" + suffix).isFile(),
                "needs the project's engine beside the library");
        NFExtractor e = new NFExtractor();
        NImage image = rings(300, 300);
        byte[] basic = e.extractBytes(image, NFMinutiaFormat.BASIC, NFTemplateSize.FULL);
        byte[] quality = e.extractBytes(image, NFMinutiaFormat.WITH_QUALITY, NFTemplateSize.FULL);
        byte[] extended = e.extractBytes(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
        byte[] small = e.extractBytes(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.SMALL);
        assertEquals(0, basic[22]);
        assertEquals(4, basic[25]);
        assertEquals(1, quality[22]);
        assertEquals(5, quality[25]);
        assertEquals(7, extended[22]);
        assertEquals(7, extended[25]);
        assertTrue((small[24] & 0xFF) <= 32);
        // The same image gives the same minutiae in every format.
        assertEquals(basic[24], extended[24]);
        NFRecord record = new NFRecord(extended);
        for (NFMinutia m : record.getMinutiae()) {
            assertTrue(m.X < 300 && m.Y < 300, m.toString());
        }
    }

    @Test
    void everyTemplateTheEngineWritesPassesTheCheckAndNoPieceOfOne() throws Exception {
        NFExtractor e = new NFExtractor();
        NImage image = print(300, 340);
        for (NFMinutiaFormat format : NFMinutiaFormat.values()) {
            for (NFTemplateSize size : NFTemplateSize.values()) {
                byte[] t = e.extractBytes(image, format, size);
                assertEquals(t[24] & 0xFF, NFMatcher.check(t), format + " " + size);
                assertTrue(t[24] != 0, format + " " + size);
                for (int n = 0; n < t.length; n++) {
                    byte[] cut = Arrays.copyOf(t, n);
                    assertThrows(MatchingException.class, () -> NFMatcher.check(cut), format + " " + size + ", " + n);
                }
            }
        }
        byte[] white = new byte[300 * 300];
        Arrays.fill(white, (byte) 255);
        byte[] blank = e.extractBytes(new NImage(300, 300, white), NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
        assertEquals(0, NFMatcher.check(blank), "a blank image's template is valid and empty");
    }
}
