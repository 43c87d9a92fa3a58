package ardivex.images;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.awt.image.BufferedImage;
import java.awt.image.IndexColorModel;
import java.awt.image.WritableRaster;
import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import javax.imageio.ImageIO;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

class NImageTest {

    private static byte[] pixels(int n, int seed) {
        byte[] b = new byte[n];
        for (int i = 0; i < n; i++) {
            b[i] = (byte) (i * 31 + seed);
        }
        return b;
    }

    private static int u32(byte[] f, int at) {
        return ByteBuffer.wrap(f, at, 4).order(ByteOrder.LITTLE_ENDIAN).getInt();
    }

    /** An 8-bit BMP with a 40-byte header and the given fields, rows given as stored. */
    private static byte[] bmp(int width, int height, int bits, int compression, byte[] rows) {
        ByteBuffer b = ByteBuffer.allocate(1078 + rows.length).order(ByteOrder.LITTLE_ENDIAN);
        b.put((byte) 'B').put((byte) 'M').putInt(1078 + rows.length).putInt(0).putInt(1078);
        b.putInt(40).putInt(width).putInt(height).putShort((short) 1).putShort((short) bits);
        b.putInt(compression).putInt(rows.length).putInt(0).putInt(0).putInt(256).putInt(0);
        for (int i = 0; i < 256; i++) {
            b.put((byte) i).put((byte) i).put((byte) i).put((byte) 0);
        }
        b.put(rows);
        return b.array();
    }

    private static void assertWrongFormat(NImage image, byte[] file) {
        Exception e = assertThrows(Exception.class, () -> image.loadBMP(file));
        assertSame(Exception.class, e.getClass());
        assertEquals("Wrong file format", e.getMessage());
    }

    @Test
    void savesTheGreyLayout() throws Exception {
        byte[] f = new NImage(3, 2, new byte[] {1, 2, 3, 4, 5, 6}).saveBMP();
        assertEquals(1086, f.length);
        assertEquals('B', f[0]);
        assertEquals('M', f[1]);
        assertEquals(1086, u32(f, 2));
        assertEquals(1078, u32(f, 10));
        assertEquals(3, u32(f, 18));
        assertEquals(2, u32(f, 22));
        assertEquals(256, u32(f, 46));
        assertEquals(0x00808080, u32(f, 54 + 4 * 128));
        // bottom row first, each row filled to 4 bytes
        assertArrayEquals(new byte[] {4, 5, 6, 0, 1, 2, 3, 0}, Arrays.copyOfRange(f, 1078, 1086));

        assertEquals(1094, new NImage(4, 4).saveBMP().length);
        assertEquals(0, new NImage(0, 5).saveBMP().length);
        assertEquals(0, new NImage(7, 0).saveBMP().length);
        assertEquals(0, new NImage().saveBMP().length);
    }

    @Test
    void roundTripsThroughItsOwnFiles() throws Exception {
        for (int w = 1; w <= 6; w++) {
            NImage a = new NImage(w, 5, pixels(w * 5, w));
            NImage b = NImage.fromBmp(a.saveBMP());
            assertEquals(w, b.getWidth());
            assertEquals(5, b.getHeight());
            assertArrayEquals(a.getBuffer(), b.getBuffer());
        }
        // an oversized buffer: only width * height bytes are used
        NImage big = new NImage(2, 2, new byte[] {1, 2, 3, 4, 99, 99});
        assertArrayEquals(new byte[] {1, 2, 3, 4}, NImage.fromBmp(big.saveBMP()).getBuffer());
    }

    @Test
    void loadsRowsStraightIntoTheImageAndLeavesTheFileAlone() throws Exception {
        // 3 x 3 bottom-up, stored rows padded to 4 bytes; the file ends in the
        // middle of the second stored row, so the top row and the end of the
        // middle row read as 0 in every load, also after a load of another
        // image into the same receiver.
        byte[] rows = {7, 8, 9, 0, 4, 5};
        byte[] file = bmp(3, 3, 8, 0, rows);
        byte[] before = file.clone();
        NImage image = new NImage(3, 3, new byte[] {1, 1, 1, 1, 1, 1, 1, 1, 1});
        for (int i = 0; i < 2; i++) {
            byte[] old = image.getBuffer();
            image.loadBMP(file);
            assertArrayEquals(new byte[] {0, 0, 0, 4, 5, 0, 7, 8, 9}, image.getBuffer());
            assertTrue(old != image.getBuffer(), "a load gives the image a new buffer");
            image.loadBMP(new NImage(3, 3, pixels(9, 40)).saveBMP());
        }
        assertArrayEquals(before, file);
        // top-down rows (negative height), the last one short
        NImage top = NImage.fromBmp(bmp(2, -2, 8, 0, new byte[] {1, 2, 0, 0, 3}));
        assertArrayEquals(new byte[] {1, 2, 3, 0}, top.getBuffer());
    }

    @Test
    void readsAndWritesFiles(@TempDir Path dir) throws Exception {
        NImage a = new NImage(5, 3, pixels(15, 7));
        Path p = dir.resolve("a.bmp");
        a.write(p);
        assertEquals(1078 + 8 * 3, Files.size(p));
        NImage b = NImage.read(p);
        assertArrayEquals(a.getBuffer(), b.getBuffer());
        assertEquals(a.getPixel(4, 2), b.getPixel(4, 2));
    }

    @Test
    void loadsGreyAndPaletteImagesWrittenByImageIO() throws Exception {
        BufferedImage gray = new BufferedImage(7, 5, BufferedImage.TYPE_BYTE_GRAY);
        WritableRaster r = gray.getRaster();
        for (int y = 0; y < 5; y++) {
            for (int x = 0; x < 7; x++) {
                r.setSample(x, y, 0, (x * 40 + y * 3) & 0xFF);
            }
        }
        NImage g = NImage.fromBmp(encode(gray));
        assertEquals(7, g.getWidth());
        assertEquals(5, g.getHeight());
        for (int y = 0; y < 5; y++) {
            for (int x = 0; x < 7; x++) {
                assertEquals(r.getSample(x, y, 0), g.getPixel(x, y), "(" + x + "," + y + ")");
            }
        }

        // A colour palette: the indices come back as grey levels.
        byte[] red = new byte[256];
        byte[] green = new byte[256];
        byte[] blue = new byte[256];
        for (int i = 0; i < 256; i++) {
            red[i] = (byte) (255 - i);
            green[i] = (byte) (i * 5);
            blue[i] = (byte) 17;
        }
        BufferedImage indexed = new BufferedImage(6, 4, BufferedImage.TYPE_BYTE_INDEXED,
                new IndexColorModel(8, 256, red, green, blue));
        WritableRaster ir = indexed.getRaster();
        for (int y = 0; y < 4; y++) {
            for (int x = 0; x < 6; x++) {
                ir.setSample(x, y, 0, 10 * x + 60 * y);
            }
        }
        NImage p = NImage.fromBmp(encode(indexed));
        for (int y = 0; y < 4; y++) {
            for (int x = 0; x < 6; x++) {
                assertEquals(10 * x + 60 * y, p.getPixel(x, y));
            }
        }
    }

    @Test
    void imageIODecodesWhatItSaves() throws Exception {
        NImage a = new NImage(9, 4, pixels(36, 3));
        BufferedImage b = ImageIO.read(new ByteArrayInputStream(a.saveBMP()));
        assertNotNull(b);
        assertEquals(9, b.getWidth());
        assertEquals(4, b.getHeight());
        for (int y = 0; y < 4; y++) {
            for (int x = 0; x < 9; x++) {
                assertEquals(a.getPixel(x, y), b.getRaster().getSample(x, y, 0));
            }
        }
    }

    @Test
    void topDownAndCutFiles() throws Exception {
        NImage t = NImage.fromBmp(bmp(3, -2, 8, 0, new byte[] {1, 2, 3, 0, 4, 5, 6, 0}));
        assertEquals(2, t.getHeight());
        assertArrayEquals(new byte[] {1, 2, 3, 4, 5, 6}, t.getBuffer());

        // cut in the middle of the top row: the missing pixels are 0
        NImage c = NImage.fromBmp(bmp(3, 2, 8, 0, new byte[] {4, 5, 6, 0, 1}));
        assertArrayEquals(new byte[] {1, 0, 0, 4, 5, 6}, c.getBuffer());
    }

    @Test
    void rejectsOtherFilesAndLeavesTheImageAlone() throws Exception {
        byte[] original = pixels(6, 1);
        NImage img = new NImage(3, 2, original);

        BufferedImage rgb = new BufferedImage(4, 4, BufferedImage.TYPE_3BYTE_BGR);
        assertWrongFormat(img, encode(rgb));
        assertWrongFormat(img, bmp(3, 2, 8, 1, new byte[] {3, 1, 3, 2, 0, 0, 0, 1})); // RLE8
        assertWrongFormat(img, new byte[0]);
        assertWrongFormat(img, null);
        assertWrongFormat(img, "not a bitmap at all, just text".getBytes("UTF-8"));
        assertWrongFormat(img, Arrays.copyOf(bmp(3, 2, 8, 0, new byte[8]), 40)); // header cut
        assertWrongFormat(img, bmp(40000, 1, 8, 0, new byte[0])); // beyond the size limit

        assertEquals(3, img.getWidth());
        assertEquals(2, img.getHeight());
        assertSame(original, img.getBuffer());
    }

    @Test
    void saveRejectsInconsistentImagesWithAJavaException() {
        NImage shortBuffer = new NImage();
        shortBuffer.width = 4;
        shortBuffer.height = 4;
        shortBuffer.buffer = new byte[15];
        Exception e = assertThrows(Exception.class, shortBuffer::saveBMP);
        assertSame(Exception.class, e.getClass());
        assertTrue(e.getMessage().contains("15"), e.getMessage());

        NImage nullBuffer = new NImage();
        nullBuffer.width = 2;
        nullBuffer.height = 2;
        nullBuffer.buffer = null;
        e = assertThrows(Exception.class, nullBuffer::saveBMP);
        assertEquals("Image has no buffer", e.getMessage());

        NImage negative = new NImage();
        negative.width = -1;
        negative.height = 3;
        e = assertThrows(Exception.class, negative::saveBMP);
        assertEquals("Invalid image size -1 x 3", e.getMessage());

        NImage huge = new NImage();
        huge.width = 65536;
        huge.height = 65536;
        huge.buffer = new byte[1];
        assertThrows(Exception.class, huge::saveBMP);
    }

    @Test
    void loadsAndSavesFromManyThreads() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(8);
        NImage shared = new NImage(31, 17, pixels(31 * 17, 5));
        byte[] sharedFile = shared.saveBMP();
        try {
            List<Future<?>> results = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                final int seed = t;
                results.add(pool.submit((Callable<Void>) () -> {
                    Random rnd = new Random(seed);
                    for (int i = 0; i < 300; i++) {
                        int w = 1 + rnd.nextInt(40);
                        int h = 1 + rnd.nextInt(40);
                        NImage a = new NImage(w, h, pixels(w * h, rnd.nextInt()));
                        NImage b = NImage.fromBmp(a.saveBMP());
                        assertArrayEquals(a.getBuffer(), b.getBuffer());
                        assertArrayEquals(sharedFile, shared.saveBMP());
                        NImage c = new NImage();
                        c.loadBMP(sharedFile);
                        assertArrayEquals(shared.getBuffer(), c.getBuffer());
                    }
                    return null;
                }));
            }
            for (Future<?> f : results) {
                f.get();
            }
        } finally {
            pool.shutdownNow();
        }
    }

    private static byte[] encode(BufferedImage image) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        assertTrue(ImageIO.write(image, "bmp", out), "no BMP writer for this image type");
        return out.toByteArray();
    }
}
