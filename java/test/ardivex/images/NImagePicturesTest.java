package ardivex.images;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import ardivex.scanners.Scanner;
import java.awt.image.BufferedImage;
import java.awt.image.DataBufferByte;
import java.awt.image.WritableRaster;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.zip.CRC32;
import javax.imageio.IIOImage;
import javax.imageio.ImageIO;
import javax.imageio.ImageWriteParam;
import javax.imageio.ImageWriter;
import javax.imageio.stream.ImageOutputStream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Pictures of other formats and colours, captured images and BufferedImages as NImages. */
class NImagePicturesTest {
    // Odd width: BMP rows are padded, and JPEG blocks do not fit.
    private static final int W = 61;
    private static final int H = 43;

    /** Curved ridges over the whole grey range, as a fingerprint picture holds. */
    private static byte[] ridges() {
        byte[] p = new byte[W * H];
        for (int y = 0; y < H; y++) {
            for (int x = 0; x < W; x++) {
                double phase = (x + 6 * Math.sin(y / 9.0)) / 7.0 * 2 * Math.PI;
                p[y * W + x] = (byte) Math.round(127.5 + 127.5 * Math.cos(phase) * (0.4 + 0.6 * y / (H - 1)));
            }
        }
        return p;
    }

    private static byte[] encode(BufferedImage picture, String format) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        assertTrue(ImageIO.write(picture, format, out), "no " + format + " writer");
        return out.toByteArray();
    }

    /** A JPEG at the highest quality, whose quantisation leaves the levels within a step or two. */
    private static byte[] jpeg(BufferedImage picture) throws IOException {
        ImageWriter writer = ImageIO.getImageWritersByFormatName("jpeg").next();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        try (ImageOutputStream ios = ImageIO.createImageOutputStream(out)) {
            writer.setOutput(ios);
            ImageWriteParam p = writer.getDefaultWriteParam();
            p.setCompressionMode(ImageWriteParam.MODE_EXPLICIT);
            p.setCompressionQuality(1.0f);
            writer.write(null, new IIOImage(picture, null, null), p);
        } finally {
            writer.dispose();
        }
        return out.toByteArray();
    }

    /** The grey levels as a colour picture of equal red, green and blue. */
    private static BufferedImage rgb(byte[] grey, int type) {
        BufferedImage c = new BufferedImage(W, H, type);
        for (int i = 0; i < grey.length; i++) {
            int g = grey[i] & 0xFF;
            c.setRGB(i % W, i / W, 0xFF000000 | g << 16 | g << 8 | g);
        }
        return c;
    }

    @Test
    void everyFormatReadsAsTheGreyPixelsOfTheEightBitBmp(@TempDir Path dir) throws Exception {
        byte[] grey = ridges();
        NImage bmp = NImage.decode(new NImage(W, H, grey).saveBMP());
        assertArrayEquals(grey, bmp.getBuffer());
        BufferedImage greyPicture = new NImage(W, H, grey).toBufferedImage();

        Map<String, byte[]> exact = new LinkedHashMap<>();
        exact.put("grey.png", encode(greyPicture, "png"));
        exact.put("colour.png", encode(rgb(grey, BufferedImage.TYPE_INT_RGB), "png"));
        exact.put("grey.tiff", encode(greyPicture, "tiff"));
        exact.put("colour.tiff", encode(rgb(grey, BufferedImage.TYPE_3BYTE_BGR), "tiff"));
        byte[] bmp24 = encode(rgb(grey, BufferedImage.TYPE_3BYTE_BGR), "bmp");
        assertEquals(24, bmp24[28]); // bits per pixel: the native reader refuses it
        exact.put("colour.bmp", bmp24);
        for (Map.Entry<String, byte[]> f : exact.entrySet()) {
            Path file = dir.resolve(f.getKey());
            Files.write(file, f.getValue());
            NImage image = NImage.readImage(file);
            assertEquals(W, image.getWidth(), f.getKey());
            assertEquals(H, image.getHeight(), f.getKey());
            assertArrayEquals(bmp.getBuffer(), image.getBuffer(), f.getKey());
        }

        // JPEG is lossy: at its highest quality no level moves by more than 3,
        // and on average by less than one.
        for (BufferedImage picture : new BufferedImage[] {greyPicture, rgb(grey, BufferedImage.TYPE_3BYTE_BGR)}) {
            byte[] decoded = NImage.decode(jpeg(picture)).getBuffer();
            long sum = 0;
            int most = 0;
            for (int i = 0; i < grey.length; i++) {
                int d = Math.abs((decoded[i] & 0xFF) - (grey[i] & 0xFF));
                sum += d;
                most = Math.max(most, d);
            }
            assertTrue(most <= 3, "a JPEG level moved by " + most);
            assertTrue(sum < grey.length, "JPEG levels moved by " + (double) sum / grey.length + " on average");
        }
    }

    @Test
    void colourBecomesItsLumaAndTransparencyIsLaidOverWhite() throws Exception {
        int[] argb = {0xFFFF0000, 0xFF00FF00, 0xFF0000FF, 0xFF808000, 0x00000000, 0x80000000, 0xFFFFFFFF, 0xFF000000};
        int[] want = {76, 150, 29, 113, 255, 127, 255, 0}; // (299 R + 587 G + 114 B + 500) / 1000, over white
        BufferedImage c = new BufferedImage(argb.length, 1, BufferedImage.TYPE_INT_ARGB);
        c.setRGB(0, 0, argb.length, 1, argb, 0, argb.length);
        for (String format : new String[] {"png", "tiff"}) {
            NImage image = NImage.decode(encode(c, format));
            for (int x = 0; x < want.length; x++) {
                assertEquals(want[x], image.getPixel(x, 0), format + " pixel " + x);
            }
        }

        // 16-bit grey levels are scaled to 8 bits, rounded.
        BufferedImage deep = new BufferedImage(4, 1, BufferedImage.TYPE_USHORT_GRAY);
        deep.getRaster().setPixels(0, 0, 4, 1, new int[] {0, 257 * 100, 257 * 200 + 128, 65535});
        NImage image = NImage.decode(encode(deep, "png"));
        assertArrayEquals(new byte[] {0, 100, (byte) 200, (byte) 255}, image.getBuffer());
    }

    /** A PNG file's signature and header chunk for a picture of the given size, and nothing after. */
    private static byte[] pngHead(int width, int height) {
        ByteBuffer ihdr = ByteBuffer.allocate(17).put("IHDR".getBytes()).putInt(width).putInt(height)
                .put(new byte[] {8, 0, 0, 0, 0});
        CRC32 crc = new CRC32();
        crc.update(ihdr.array());
        return ByteBuffer.allocate(8 + 4 + 17 + 4).put(new byte[] {(byte) 0x89, 'P', 'N', 'G', 13, 10, 26, 10})
                .putInt(13).put(ihdr.array()).putInt((int) crc.getValue()).array();
    }

    @Test
    void whatIsNoPictureIsRefusedWithAnIOException(@TempDir Path dir) throws Exception {
        byte[] png = encode(new NImage(W, H, ridges()).toBufferedImage(), "png");
        Map<byte[], String> refused = new LinkedHashMap<>();
        refused.put("hello, this is text".getBytes(), "Not a picture: neither PNG, JPEG, TIFF, BMP nor GIF");
        refused.put(new byte[0], "Not a picture: neither PNG, JPEG, TIFF, BMP nor GIF");
        refused.put(new byte[] {0, 0, 61, 43, 0, 0, 0}, "Not a picture: neither PNG, JPEG, TIFF, BMP nor GIF"); // WBMP
        refused.put(Arrays.copyOf(png, png.length / 2), "The PNG picture cannot be decoded");
        refused.put(pngHead(1 << 16, 1 << 16), "The PNG picture is 65536 x 65536 pixels, more than the 67108864 read");
        refused.put(pngHead(0, 5), "The PNG picture");
        refused.put("BM not a bitmap at all".getBytes(), "The BMP picture cannot be decoded");
        for (Map.Entry<byte[], String> r : refused.entrySet()) {
            IOException e = assertThrows(IOException.class, () -> NImage.decode(r.getKey()), r.getValue());
            assertTrue(e.getMessage().startsWith(r.getValue()), e.getMessage());
        }
        Path file = dir.resolve("notes.png");
        Files.write(file, "hello".getBytes());
        IOException e = assertThrows(IOException.class, () -> NImage.readImage(file));
        assertEquals(file + ": Not a picture: neither PNG, JPEG, TIFF, BMP nor GIF", e.getMessage());
        e = assertThrows(IOException.class, () -> NImage.readImage(dir));
        assertEquals(dir + " is a folder, not a picture", e.getMessage());

        // read keeps to 8-bit BMP files.
        Files.write(file, png);
        Exception old = assertThrows(Exception.class, () -> NImage.read(file));
        assertEquals("Wrong file format", old.getMessage());
    }

    @Test
    void capturedImagesAndBufferedImages() {
        Scanner.ScanImage captured = new Scanner.ScanImage(W, H);
        System.arraycopy(ridges(), 0, captured.buffer, 0, W * H);
        NImage image = NImage.fromScanImage(captured);
        assertEquals(W, image.getWidth());
        assertArrayEquals(captured.buffer, image.getBuffer());
        assertNotSame(captured.buffer, image.getBuffer());
        captured.buffer = new byte[3];
        assertThrows(IllegalArgumentException.class, () -> NImage.fromScanImage(captured));

        // To a BufferedImage and back: every level unchanged.
        BufferedImage picture = image.toBufferedImage();
        assertEquals(BufferedImage.TYPE_BYTE_GRAY, picture.getType());
        WritableRaster raster = picture.getRaster();
        assertArrayEquals(image.getBuffer(), ((DataBufferByte) raster.getDataBuffer()).getData());
        assertNotSame(image.getBuffer(), ((DataBufferByte) raster.getDataBuffer()).getData());
        assertArrayEquals(image.getBuffer(), NImage.fromBufferedImage(picture).getBuffer());
        assertThrows(IllegalStateException.class, () -> new NImage().toBufferedImage());
        NImage cut = new NImage(4, 4);
        cut.buffer = new byte[15];
        assertThrows(IllegalStateException.class, cut::toBufferedImage);
    }
}
