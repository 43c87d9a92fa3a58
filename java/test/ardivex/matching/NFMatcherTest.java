package ardivex.matching;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.images.NImage;
import ardivex.templates.NFRecord;
import java.awt.image.BufferedImage;
import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import javax.imageio.ImageIO;
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
        assertEquals("The probe is not a valid NFRecord template: it is 10 bytes long, shorter than the 26 bytes of "
                + "a template's header", shortOne.getMessage());
        MatchingException cut = assertThrows(MatchingException.class,
                () -> matcher.verify(good, Arrays.copyOf(good, 60)));
        assertTrue(cut.getMessage().contains("run past its end"), cut.getMessage());
        assertThrows(MatchingException.class, () -> matcher.verify(new byte[0], good));
        MatchingException none = assertThrows(MatchingException.class, () -> matcher.verify(good, (byte[]) null));
        assertTrue(none.getMessage().contains("null"), none.getMessage());
        assertThrows(MatchingException.class, () -> matcher.verify(new NFRecord(good), null));
        assertThrows(MatchingException.class, () -> matcher.verify(new NFRecord(good), new NFRecord(null)));
    }

    /** Files a user may hand over instead of a template, each whole. */
    static Map<String, byte[]> filesOfOtherKinds() throws Exception {
        Map<String, byte[]> files = new LinkedHashMap<>();
        BufferedImage picture = new BufferedImage(256, 360, BufferedImage.TYPE_BYTE_GRAY);
        for (int y = 0; y < 360; y++) {
            for (int x = 0; x < 256; x++) {
                picture.getRaster().setSample(x, y, 0, (int) (128 + 100 * Math.sin(x / 3.0 + y / 7.0)));
            }
        }
        for (String format : new String[] {"png", "jpeg"}) {
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            assertTrue(ImageIO.write(picture, format, out), format);
            files.put(format, out.toByteArray());
        }
        byte[] grey = new byte[256 * 360];
        Arrays.fill(grey, (byte) 200);
        files.put("bmp", new NImage(256, 360, grey).saveBMP());
        files.put("text", ("dactylink is a fingerprint-reader toolkit for Java applications on 64-bit Windows.\n"
                + "Build it with the CMake presets.\n").getBytes(StandardCharsets.UTF_8));
        Random r = new Random(19);
        for (int n : new int[] {30, 411, 5000}) {
            byte[] b = new byte[n];
            r.nextBytes(b);
            files.put("random " + n, b);
        }
        // The head of the jar these classes come from.
        Path jar = Paths.get(NFMatcher.class.getProtectionDomain().getCodeSource().getLocation().toURI());
        byte[] head = new byte[4096];
        try (InputStream in = Files.newInputStream(jar)) {
            files.put("jar", Arrays.copyOf(head, in.readNBytes(head, 0, head.length)));
        }
        return files;
    }

    @Test
    void filesOfOtherKindsAreNoTemplatesForTheMatcherNorForTheBase() throws Exception {
        byte[] good = Templates.record(3);
        try (FingerprintBase base = FingerprintBase.inMemory()) {
            for (Map.Entry<String, byte[]> f : filesOfOtherKinds().entrySet()) {
                byte[] bytes = f.getValue();
                MatchingException e = assertThrows(MatchingException.class, () -> NFMatcher.check(bytes), f.getKey());
                assertTrue(e.getMessage().startsWith("Not a valid NFRecord template: "), e.getMessage());
                assertThrows(MatchingException.class, () -> matcher.verify(good, bytes), f.getKey());
                assertThrows(MatchingException.class, () -> matcher.verify(bytes, good), f.getKey());
                assertThrows(MatchingException.class, () -> base.enroll("x", 1, bytes), f.getKey());
                assertThrows(MatchingException.class, () -> base.identify(bytes, 1), f.getKey());
            }
            assertEquals(0, base.count());
        }
    }

    @Test
    void checkCountsMinutiaeAndNamesFaults() throws Exception {
        byte[] good = Templates.record(3);
        assertEquals(good[24] & 0xFF, NFMatcher.check(good));
        for (int n = 0; n < good.length; n++) {
            byte[] cut = Arrays.copyOf(good, n);
            assertThrows(MatchingException.class, () -> NFMatcher.check(cut), n + " bytes");
        }
        byte[] wrongSize = good.clone();
        wrongSize[25] = 7; // the flags announce 4-byte records
        MatchingException e = assertThrows(MatchingException.class, () -> NFMatcher.check(wrongSize));
        assertEquals("Not a valid NFRecord template: its minutia records are 7 bytes long (byte 25), but its flags "
                + "(byte 22: 0x00) announce 4-byte records", e.getMessage());
        assertEquals("The template is null", assertThrows(MatchingException.class,
                () -> NFMatcher.check(null)).getMessage());
        // Readable, but nothing to compare: counted 0, and scores 0.
        byte[] empty = Templates.record(List.of());
        assertEquals(0, NFMatcher.check(empty));
        assertEquals(0, matcher.verify(empty, good));
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
