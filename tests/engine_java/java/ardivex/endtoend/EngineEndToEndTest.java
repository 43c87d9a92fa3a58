package ardivex.endtoend;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.fingers.NFExtractor;
import ardivex.fingers.NFMinutiaFormat;
import ardivex.fingers.NFTemplateSize;
import ardivex.images.ImageQuality;
import ardivex.images.NImage;
import ardivex.templates.NFCore;
import ardivex.templates.NFDelta;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFMinutiaType;
import ardivex.templates.NFRecord;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * A synthetic print, written as a BMP by a helper program, read through
 * NImage, extracted by the shipped engine through NFExtractor and read back
 * through NFRecord, for every minutia format and template size.
 */
class EngineEndToEndTest {
    private static final int WIDTH = 300;
    private static final int HEIGHT = 400;
    private static final int[] LIMITS = {32, 64, 128, 255};

    @TempDir
    static Path dir;

    static NImage image;
    static List<int[]> truth = new ArrayList<>();

    @BeforeAll
    static void makePrint() throws Exception {
        File helper = new File(System.getProperty("java.library.path"), "engine_java_print");
        Path bmp = dir.resolve("print.bmp");
        Path txt = dir.resolve("truth.txt");
        Process p = new ProcessBuilder(helper.getPath(), bmp.toString(), txt.toString(), "11", WIDTH + "x" + HEIGHT)
                .inheritIO().start();
        assertTrue(p.waitFor(120, TimeUnit.SECONDS), "the print helper did not finish");
        assertEquals(0, p.exitValue(), "the print helper failed");
        image = NImage.read(bmp);
        List<String> lines = Files.readAllLines(txt);
        assertEquals(WIDTH + " " + HEIGHT, lines.get(0));
        for (String l : lines.subList(1, lines.size())) {
            String[] xy = l.split(" ");
            truth.add(new int[] {Integer.parseInt(xy[0]), Integer.parseInt(xy[1])});
        }
        assertTrue(truth.size() >= 20, "the synthetic print has too few minutiae to judge: " + truth.size());
    }

    @Test
    void bmpIsReadAtItsSize() {
        assertEquals(WIDTH, image.getWidth());
        assertEquals(HEIGHT, image.getHeight());
        assertEquals(WIDTH * HEIGHT, image.getBuffer().length);
    }

    private static String key(NFMinutia m) {
        return m.X + "," + m.Y + "," + m.Angle + "," + m.getTypeCode();
    }

    @Test
    void everyFormatAndSizeGivesItemsInsideTheImage() throws Exception {
        NFExtractor extractor = new NFExtractor();
        List<NFMinutia> full = extractor.extract(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL).getMinutiae();
        Set<String> fullKeys = new HashSet<>();
        for (NFMinutia m : full) {
            fullKeys.add(key(m));
        }
        for (NFMinutiaFormat format : NFMinutiaFormat.values()) {
            for (NFTemplateSize size : NFTemplateSize.values()) {
                String what = format + "/" + size;
                NFRecord record = extractor.extract(image, format, size);
                List<NFMinutia> minutiae = record.getMinutiae();
                // The best-quality ones are kept, the same whatever the format.
                assertEquals(Math.min(full.size(), LIMITS[size.ordinal()]), minutiae.size(), what);
                for (NFMinutia m : minutiae) {
                    assertTrue(m.X >= 0 && m.X < WIDTH && m.Y >= 0 && m.Y < HEIGHT, what + " " + m);
                    assertTrue(m.Angle >= 0 && m.Angle < 256, what + " " + m);
                    assertTrue(m.getType() == NFMinutiaType.RIDGE_ENDING || m.getType() == NFMinutiaType.BIFURCATION, what + " " + m);
                    assertTrue(fullKeys.contains(key(m)), what + " has a minutia the full template lacks: " + m);
                    switch (format) {
                        case BASIC -> assertEquals(255, m.Quality, what);
                        case WITH_QUALITY -> {
                            assertTrue(m.Quality <= 100, what + " " + m);
                            assertEquals(255, m.Curvature, what);
                        }
                        case EXTENDED -> {
                            assertTrue(m.Quality <= 100, what + " " + m);
                            // G is the ridge period in tenths of a pixel; the print's is about 9 pixels.
                            assertTrue(m.G >= 50 && m.G <= 150, what + " " + m);
                        }
                    }
                }
                for (NFCore c : record.getCores()) {
                    assertTrue(c.X < WIDTH && c.Y < HEIGHT, what + " " + c);
                }
                for (NFDelta d : record.getDeltas()) {
                    assertTrue(d.X < WIDTH && d.Y < HEIGHT, what + " " + d);
                }
            }
        }
    }

    @Test
    void minutiaeLieWhereThePrintHasThem() throws Exception {
        List<NFMinutia> found = new NFExtractor().extract(image).getMinutiae();
        assertTrue(found.size() >= truth.size() / 3 && found.size() <= truth.size() * 3,
                found.size() + " minutiae found, " + truth.size() + " in the print");
        // Most true minutiae have a found one close by: a picture read upside
        // down or transposed would match hardly any.
        int matched = 0;
        for (int[] t : truth) {
            for (NFMinutia m : found) {
                if (Math.hypot(m.X - t[0], m.Y - t[1]) <= 12) {
                    matched++;
                    break;
                }
            }
        }
        assertTrue(matched * 4 >= truth.size() * 3, matched + " of " + truth.size() + " true minutiae found");
    }

    @Test
    void extractorsAgreeOnTheSameImage() throws Exception {
        byte[] a = new NFExtractor().extractBytes(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
        byte[] b = new NFExtractor().extractBytes(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
        assertArrayEquals(a, b);
    }

    private static NImage mapped(NImage src, java.util.function.IntUnaryOperator f) {
        byte[] px = new byte[src.getBuffer().length];
        for (int i = 0; i < px.length; i++) {
            px[i] = (byte) f.applyAsInt(src.getBuffer()[i] & 0xFF);
        }
        return new NImage(src.getWidth(), src.getHeight(), px);
    }

    @Test
    void qualityOfTheSyntheticPrintIsHighAndTheTemplateCarriesIt() throws Exception {
        NFExtractor extractor = new NFExtractor();
        ImageQuality q = extractor.quality(image);
        assertTrue(q.score() >= 70, q.toString());
        assertTrue(q.hints().isEmpty(), q.toString());
        NFRecord record = extractor.extract(image);
        assertEquals(q.score(), record.getQuality());
        assertEquals(q, record.getImageQuality());
    }

    @Test
    void qualityAdviceOnMadeUpPictures() throws Exception {
        NFExtractor extractor = new NFExtractor();
        byte[] white = new byte[WIDTH * HEIGHT];
        java.util.Arrays.fill(white, (byte) 255);
        ImageQuality blank = extractor.quality(new NImage(WIDTH, HEIGHT, white));
        assertEquals(0, blank.score());
        assertEquals(ImageQuality.Hint.TOO_LITTLE_FINGER, blank.hints().get(0));

        ImageQuality black = extractor.quality(new NImage(WIDTH, HEIGHT));
        assertEquals(0, black.score());
        assertEquals(ImageQuality.Hint.TOO_DARK, black.hints().get(0));

        ImageQuality light = extractor.quality(mapped(image, v -> 255 - (255 - v) / 5));
        assertEquals(ImageQuality.Hint.TOO_LIGHT, light.hints().get(0), light.toString());

        ImageQuality dark = extractor.quality(mapped(image, v -> v * 2 / 5));
        assertEquals(ImageQuality.Hint.TOO_DARK, dark.hints().get(0), dark.toString());

        // The top-left corner of the print alone, the rest white.
        byte[] corner = white.clone();
        for (int y = 0; y < 170; y++) {
            System.arraycopy(image.getBuffer(), y * WIDTH, corner, y * WIDTH, 130);
        }
        ImageQuality part = extractor.quality(new NImage(WIDTH, HEIGHT, corner));
        assertTrue(part.score() < extractor.quality(image).score() - 20, part.toString());
        assertTrue(part.hints().contains(ImageQuality.Hint.TOO_LITTLE_FINGER), part.toString());
        assertFalse(part.hints().contains(ImageQuality.Hint.TOO_DARK), part.toString());
        for (ImageQuality.Hint h : ImageQuality.Hint.values()) {
            assertFalse(h.message().isBlank(), h.name());
        }
    }
}
