package ardivex.fingers;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.images.NImage;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFRecord;

import java.lang.reflect.Field;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

class NFExtractorTest {
    @BeforeAll
    static void onlyBesideTheFake() {
        assertTrue(FakeEngine.besideFake(), "needs the fake engine beside the library");
    }

    private static void setHandle(NFExtractor e, long value) throws Exception {
        Field f = NFExtractor.class.getDeclaredField("handle");
        f.setAccessible(true);
        f.setLong(e, value);
    }

    @Test
    void eachExtractorGetsItsOwnHandle() throws Exception {
        NFExtractor a = new NFExtractor();
        NFExtractor b = new NFExtractor();
        assertNotEquals(0L, a.getHandle());
        assertNotEquals(0L, b.getHandle());
        assertNotEquals(a.getHandle(), b.getHandle());
    }

    @Test
    void arrayLengthIsTheSizeTheTemplateReported() throws Exception {
        byte[] px = FakeEngine.ramp(40, 30, 3);
        NImage image = new NImage(40, 30, px);
        int n = 1 + FakeEngine.mean(px) / 32;
        NFExtractor e = new NFExtractor();
        byte[] basic = e.extractBytes(image, NFMinutiaFormat.BASIC, NFTemplateSize.FULL);
        assertEquals(FakeEngine.recordSize(n, 4), basic.length);
        assertEquals(0, basic[22]);
        byte[] quality = e.extractBytes(image, NFMinutiaFormat.WITH_QUALITY, NFTemplateSize.FULL);
        assertEquals(FakeEngine.recordSize(n, 5), quality.length);
        assertEquals(1, quality[22]);
        NFRecord full = e.extract(image);
        assertEquals(FakeEngine.recordSize(n, 7), full.getData().length);
        List<NFMinutia> m = full.getMinutiae();
        assertEquals(n, m.size());
        assertEquals(40, m.get(0).Quality);
        assertEquals(1, full.getCores().size());
        assertEquals(20, full.getCores().get(0).X);
        assertEquals(15, full.getCores().get(0).Y);
        // The size ordinal reaches the engine: SMALL keeps two minutiae in the fake.
        byte[] small = e.extractBytes(image, NFMinutiaFormat.BASIC, NFTemplateSize.SMALL);
        assertEquals(Math.min(n, 2), small[24]);
    }

    @Test
    void unusableInputIsRejectedWithAnException() throws Exception {
        NFExtractor e = new NFExtractor();
        assertThrows(Exception.class, () -> e.extract(null));
        NImage shortBuffer = new NImage(10, 10);
        shortBuffer.buffer = new byte[99];
        assertThrows(Exception.class, () -> e.extract(shortBuffer));
        NImage noBuffer = new NImage(10, 10);
        noBuffer.buffer = null;
        assertThrows(Exception.class, () -> e.extract(noBuffer));
        NImage negative = new NImage(10, 10);
        negative.width = -10;
        negative.height = -10;
        assertThrows(Exception.class, () -> e.extract(negative));
        assertThrows(NullPointerException.class,
                () -> e.extractBytes(new NImage(4, 4, FakeEngine.ramp(4, 4, 0)), null, NFTemplateSize.FULL));
        // A blank image gives no template in the fake: no export, an exception.
        Exception blank = assertThrows(Exception.class, () -> e.extract(new NImage(8, 8, new byte[64])));
        assertTrue(blank.getMessage().contains("no template"), blank.getMessage());
        // The extractor still works afterwards.
        assertTrue(e.extract(new NImage(8, 8, FakeEngine.ramp(8, 8, 1))).getData().length > 26);
    }

    @Test
    void handlesThatWereNeverIssuedAreRejected() throws Exception {
        NFExtractor e = new NFExtractor();
        NImage image = new NImage(8, 8, FakeEngine.ramp(8, 8, 1));
        setHandle(e, 0);
        assertThrows(Exception.class, () -> e.extract(image));
        setHandle(e, 0x1234);
        assertThrows(Exception.class, () -> e.extract(image));
    }

    @Test
    void concurrentExtractionsGiveTheSequentialResults() throws Exception {
        NFExtractor shared = new NFExtractor();
        int images = 16;
        List<byte[]> expected = new ArrayList<>();
        for (int i = 0; i < images; i++) {
            expected.add(shared.extract(new NImage(30 + i, 20 + i, FakeEngine.ramp(30 + i, 20 + i, i))).getData());
        }
        ExecutorService pool = Executors.newFixedThreadPool(6);
        try {
            List<Future<Boolean>> results = new ArrayList<>();
            for (int t = 0; t < 6; t++) {
                final int offset = t;
                Callable<Boolean> job = () -> {
                    NFExtractor own = offset % 2 == 0 ? shared : new NFExtractor();
                    for (int round = 0; round < 25; round++) {
                        int i = (round + offset) % images;
                        byte[] got = own.extract(new NImage(30 + i, 20 + i, FakeEngine.ramp(30 + i, 20 + i, i))).getData();
                        assertArrayEquals(expected.get(i), got);
                    }
                    return true;
                };
                results.add(pool.submit(job));
            }
            for (Future<Boolean> f : results) {
                assertTrue(f.get());
            }
        } finally {
            pool.shutdownNow();
        }
    }
}
