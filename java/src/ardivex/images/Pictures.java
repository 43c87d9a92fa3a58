package ardivex.images;

import java.awt.color.ColorSpace;
import java.awt.image.BufferedImage;
import java.awt.image.ColorModel;
import java.awt.image.ComponentColorModel;
import java.awt.image.DataBuffer;
import java.awt.image.Raster;
import java.io.ByteArrayInputStream;
import java.io.IOException;
import java.util.Iterator;
import java.util.Locale;
import java.util.Set;
import javax.imageio.ImageIO;
import javax.imageio.ImageReader;
import javax.imageio.stream.ImageInputStream;
import javax.imageio.stream.MemoryCacheImageInputStream;

/**
 * Pictures of other formats and depths, through javax.imageio, turned into
 * 8-bit grey: grey pixels keep their level (scaled to 8 bits), colour pixels
 * take their luma {@code (299 R + 587 G + 114 B + 500) / 1000}, and partly
 * transparent pixels are first laid over white.
 */
final class Pictures {
    /**
     * The formats read: those whose files begin with a signature. WBMP, the
     * JDK's other format, has none, and would take arbitrary bytes for a
     * picture.
     */
    static final Set<String> FORMATS = Set.of("png", "jpeg", "tiff", "bmp", "gif");

    private Pictures() {
    }

    /** Decodes the first picture in the bytes; never more than {@code maxPixels} pixels. */
    static NImage decode(byte[] file, long maxPixels) throws IOException {
        // In memory: ImageIO's own streams would copy the bytes into a temporary file.
        try (ImageInputStream in = new MemoryCacheImageInputStream(new ByteArrayInputStream(file))) {
            ImageReader reader = readerFor(in);
            String format = formatOf(reader);
            try {
                reader.setInput(in, true, true);
                int width;
                int height;
                try {
                    width = reader.getWidth(0);
                    height = reader.getHeight(0);
                } catch (IOException | RuntimeException e) {
                    throw damaged(format, e);
                }
                if (width <= 0 || height <= 0) {
                    throw new IOException("The " + format + " picture has no pixels (" + width + " x " + height + ")");
                }
                if ((long) width * height > maxPixels) {
                    throw new IOException("The " + format + " picture is " + width + " x " + height
                            + " pixels, more than the " + maxPixels + " read");
                }
                try {
                    return grey(reader.read(0));
                } catch (IOException | RuntimeException e) {
                    throw damaged(format, e);
                }
            } finally {
                reader.dispose();
            }
        }
    }

    // The format as the messages name it: PNG, JPEG, TIFF, BMP or GIF.
    private static String formatOf(ImageReader reader) throws IOException {
        String[] names = reader.getOriginatingProvider() == null ? new String[] {reader.getFormatName()}
                : reader.getOriginatingProvider().getFormatNames();
        for (String name : names) {
            if (FORMATS.contains(name.toLowerCase(Locale.ROOT))) {
                return name.toUpperCase(Locale.ROOT);
            }
        }
        return reader.getFormatName().toUpperCase(Locale.ROOT);
    }

    // Readers fail on damaged data with whatever they meet first, checked or not.
    private static IOException damaged(String format, Exception e) {
        return new IOException("The " + format + " picture cannot be decoded (" + e.getMessage() + ")", e);
    }

    private static ImageReader readerFor(ImageInputStream in) throws IOException {
        Iterator<ImageReader> readers = ImageIO.getImageReaders(in);
        while (readers.hasNext()) {
            ImageReader r = readers.next();
            if (FORMATS.contains(formatOf(r).toLowerCase(Locale.ROOT))) {
                return r;
            }
            r.dispose();
        }
        throw new IOException("Not a picture: neither PNG, JPEG, TIFF, BMP nor GIF");
    }

    /** The picture in 8-bit grey, by the rules above. */
    static NImage grey(BufferedImage picture) {
        int w = picture.getWidth();
        int h = picture.getHeight();
        NImage image = new NImage(w, h);
        byte[] out = image.buffer;
        ColorModel cm = picture.getColorModel();
        Raster raster = picture.getRaster();
        int type = raster.getTransferType();
        if (cm instanceof ComponentColorModel && cm.getColorSpace().getType() == ColorSpace.TYPE_GRAY
                && (type == DataBuffer.TYPE_BYTE || type == DataBuffer.TYPE_USHORT)
                && raster.getNumBands() == cm.getNumComponents() && !cm.isAlphaPremultiplied()) {
            // Grey levels as they stand: the colour model would convert them
            // from linear grey to sRGB, brightening every mid-tone.
            int levels = (1 << cm.getComponentSize(0)) - 1;
            int alphaLevels = cm.hasAlpha() ? (1 << cm.getComponentSize(1)) - 1 : 0;
            int[] g = new int[w];
            int[] a = new int[w];
            for (int y = 0; y < h; y++) {
                raster.getSamples(0, y, w, 1, 0, g);
                if (cm.hasAlpha()) {
                    raster.getSamples(0, y, w, 1, 1, a);
                }
                for (int x = 0; x < w; x++) {
                    int v = scale(g[x], levels);
                    out[y * w + x] = (byte) (cm.hasAlpha() ? overWhite(v, scale(a[x], alphaLevels)) : v);
                }
            }
            return image;
        }
        int[] row = new int[w];
        for (int y = 0; y < h; y++) {
            picture.getRGB(0, y, w, 1, row, 0, w);
            for (int x = 0; x < w; x++) {
                int argb = row[x];
                int luma = (299 * (argb >> 16 & 0xFF) + 587 * (argb >> 8 & 0xFF) + 114 * (argb & 0xFF) + 500) / 1000;
                out[y * w + x] = (byte) overWhite(luma, argb >>> 24);
            }
        }
        return image;
    }

    private static int scale(int sample, int levels) {
        return levels == 255 ? sample : (int) ((sample * 255L + levels / 2) / levels);
    }

    private static int overWhite(int grey, int alpha) {
        return (grey * alpha + 255 * (255 - alpha) + 127) / 255;
    }

    /** The image as a picture of type {@link BufferedImage#TYPE_BYTE_GRAY} holding a copy of its pixels. */
    static BufferedImage picture(NImage image) {
        int w = image.width;
        int h = image.height;
        if (w <= 0 || h <= 0) {
            throw new IllegalStateException("An image of " + w + " x " + h + " pixels has no picture");
        }
        if (image.buffer == null || image.buffer.length < (long) w * h) {
            throw new IllegalStateException("The buffer holds fewer than " + w + " x " + h + " pixels");
        }
        BufferedImage picture = new BufferedImage(w, h, BufferedImage.TYPE_BYTE_GRAY);
        picture.getRaster().setDataElements(0, 0, w, h, java.util.Arrays.copyOf(image.buffer, w * h));
        return picture;
    }
}
