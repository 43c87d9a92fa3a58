package ardivex.images;

import ardivex.NativeLibrary;
import ardivex.scanners.Scanner;

import java.awt.image.BufferedImage;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Objects;

/**
 * An 8-bit grey image: {@code height} rows of {@code width} bytes, top row
 * first, 0 black to 255 white. It reads and writes 8-bit grey BMP files
 * ({@link #read(Path)}, {@link #write(Path)}), takes pictures of other formats
 * and colours in grey ({@link #readImage(Path)}, {@link #decode(byte[])},
 * {@link #fromBufferedImage(BufferedImage)}) and captured images
 * ({@link #fromScanImage(Scanner.ScanImage)}).
 *
 * <p>The fields are read and written by the native library by name; they are
 * not final so that it can set them.
 *
 * <p>Threads: an image is a plain value. Several threads may read one image
 * at once (its pixels, {@link #saveBMP()}, an extraction) while no thread
 * changes it; {@link #loadBMP(byte[])}, {@link #setPixel(int, int, int)} and
 * writes to the fields change it, and must not run while another thread uses
 * the same image. Hand an image to another thread once it is complete, or
 * guard it with a lock of the application's own.
 */
public class NImage {
    static {
        NativeLibrary.load();
    }

    /**
     * The most pixels {@link #decode(byte[])} decodes from a picture
     * (8192 x 8192): far above any fingerprint image, and a bound on the
     * memory that a small file claiming a huge picture could take.
     */
    public static final int MAX_PIXELS = 1 << 26;

    /** The largest file {@link #readImage(Path)} reads: a 24-bit BMP of {@link #MAX_PIXELS}. */
    public static final int MAX_FILE_BYTES = 3 * MAX_PIXELS + (1 << 20);

    /** Pixels per row. */
    public int width;
    /** Number of rows. */
    public int height;
    /** {@code width * height} bytes, row by row from the top. */
    public byte[] buffer;

    /** An empty image (0 x 0). */
    public NImage() {
        this.buffer = new byte[0];
    }

    /**
     * A black image of the given size.
     *
     * @param width pixels per row
     * @param height number of rows
     * @throws IllegalArgumentException when a size is negative
     * @throws ArithmeticException when {@code width * height} overflows an {@code int}
     */
    public NImage(int width, int height) {
        if (width < 0 || height < 0) {
            throw new IllegalArgumentException("Negative image size " + width + " x " + height);
        }
        this.width = width;
        this.height = height;
        this.buffer = new byte[Math.multiplyExact(width, height)];
    }

    /**
     * An image over the given pixels, which are not copied.
     *
     * @param width pixels per row
     * @param height number of rows
     * @param buffer at least {@code width * height} grey values, row by row from the top
     * @throws IllegalArgumentException when a size is negative or the buffer is missing or too short
     */
    public NImage(int width, int height, byte[] buffer) {
        if (width < 0 || height < 0) {
            throw new IllegalArgumentException("Negative image size " + width + " x " + height);
        }
        if (buffer == null || buffer.length < (long) width * height) {
            throw new IllegalArgumentException("Buffer too short for " + width + " x " + height);
        }
        this.width = width;
        this.height = height;
        this.buffer = buffer;
    }

    /**
     * Decodes an uncompressed 8-bit BMP file.
     *
     * @param file the bytes of the file
     * @return the image
     * @throws Exception "Wrong file format" for anything but an uncompressed 8-bit BMP
     */
    public static NImage fromBmp(byte[] file) throws Exception {
        NImage image = new NImage();
        image.loadBMP(file);
        return image;
    }

    /**
     * Reads an 8-bit BMP file.
     *
     * @param path the file
     * @return the image
     * @throws java.io.IOException when the file cannot be read
     * @throws Exception "Wrong file format" for anything but an uncompressed 8-bit BMP
     */
    public static NImage read(Path path) throws Exception {
        return fromBmp(Files.readAllBytes(path));
    }

    /**
     * Decodes a picture file of any of the usual formats, in grey or in
     * colour: 8-bit BMP files as {@link #fromBmp(byte[])} reads them (pixel
     * bytes as grey levels), and PNG, JPEG, TIFF, GIF and BMP files of other
     * depths through javax.imageio. Grey pixels keep their level (16-bit
     * levels scaled to 8 bits); colour pixels become their luma,
     * {@code (299 R + 587 G + 114 B + 500) / 1000} rounded down, the
     * ITU-R BT.601 weights; partly transparent pixels are laid over white
     * first. Of a file with several pictures (a TIFF with pages, an animated
     * GIF) the first is read.
     *
     * <pre>{@code
     * NImage finger = NImage.decode(Files.readAllBytes(Paths.get("finger.png")));
     * NFRecord template = new NFExtractor().extract(finger);
     * }</pre>
     *
     * @param file the bytes of the file
     * @return the image
     * @throws IOException when the bytes are not a picture of those formats,
     *     cannot be decoded, or hold more than {@link #MAX_PIXELS} pixels
     *     (checked before any pixel is decoded)
     */
    public static NImage decode(byte[] file) throws IOException {
        Objects.requireNonNull(file, "file");
        if (file.length >= 2 && file[0] == 'B' && file[1] == 'M') {
            NImage image = new NImage();
            try {
                image.loadBMP(file);
                return image;
            } catch (Exception e) {
                // not an uncompressed 8-bit BMP: javax.imageio reads the others
            }
        }
        return Pictures.decode(file, MAX_PIXELS);
    }

    /**
     * Reads a picture file of any of the formats {@link #decode(byte[])}
     * takes; unlike {@link #read(Path)}, which takes 8-bit BMP files only.
     *
     * @param path the file
     * @return the image
     * @throws IOException when the file cannot be read, is larger than
     *     {@link #MAX_FILE_BYTES}, or is refused as {@link #decode(byte[])}
     *     says; the message names the file
     */
    public static NImage readImage(Path path) throws IOException {
        byte[] bytes;
        if (Files.isDirectory(path)) {
            throw new IOException(path + " is a folder, not a picture");
        }
        try (InputStream in = Files.newInputStream(path)) {
            bytes = in.readNBytes(MAX_FILE_BYTES + 1);
        }
        if (bytes.length > MAX_FILE_BYTES) {
            throw new IOException(path + " is larger than " + MAX_FILE_BYTES + " bytes");
        }
        try {
            return decode(bytes);
        } catch (IOException e) {
            throw new IOException(path + ": " + e.getMessage(), e);
        }
    }

    /**
     * An image of a captured image's pixels, which are copied.
     *
     * @param image an image of a {@link ardivex.scanners.Scanner.ScanEvent}
     * @return the image, of the same size and pixels
     * @throws IllegalArgumentException when the captured image's buffer is
     *     missing or shorter than {@code width * height}
     */
    public static NImage fromScanImage(Scanner.ScanImage image) {
        Objects.requireNonNull(image, "image");
        if (image.buffer == null || image.buffer.length < (long) image.width * image.height) {
            throw new IllegalArgumentException("The captured image's buffer holds fewer than " + image.width + " x "
                    + image.height + " pixels");
        }
        return new NImage(image.width, image.height,
                Arrays.copyOf(image.buffer, Math.multiplyExact(image.width, image.height)));
    }

    /**
     * An image of a picture in memory, converted to 8-bit grey as
     * {@link #decode(byte[])} converts pictures.
     *
     * @param picture the picture
     * @return the image, of the same size
     */
    public static NImage fromBufferedImage(BufferedImage picture) {
        return Pictures.grey(Objects.requireNonNull(picture, "picture"));
    }

    /**
     * This image as a picture of type {@link BufferedImage#TYPE_BYTE_GRAY}
     * whose raster holds a copy of the pixels, for drawing or for writing
     * with javax.imageio (a PNG keeps every level):
     *
     * <pre>{@code
     * ImageIO.write(image.toBufferedImage(), "png", new File("finger.png"));
     * }</pre>
     *
     * <p>The type's colour space is linear grey: {@code getRGB} of the
     * picture reports the levels converted to sRGB, mid-tones brighter;
     * {@link #fromBufferedImage(BufferedImage)} reads the raster and gets the
     * levels back unchanged.
     *
     * @return the picture
     * @throws IllegalStateException when width or height is not positive, or
     *     the buffer is shorter than {@code width * height}
     */
    public BufferedImage toBufferedImage() {
        return Pictures.picture(this);
    }

    /**
     * Writes this image as a grey BMP file, replacing the file if it exists.
     *
     * @param path the file
     * @throws java.io.IOException when the file cannot be written
     * @throws Exception when the image's buffer is shorter than {@code width * height}
     */
    public void write(Path path) throws Exception {
        Files.write(path, saveBMP());
    }

    /**
     * Replaces this image's size and pixels with those of a BMP file.
     *
     * @param file the bytes of an uncompressed 8-bit BMP file
     * @throws Exception "Wrong file format" for anything else
     */
    public native void loadBMP(byte[] file) throws Exception;

    /**
     * Encodes this image as a grey BMP file.
     *
     * @return the bytes of the file; empty when width or height is 0
     * @throws Exception when the buffer is shorter than {@code width * height}
     */
    public native byte[] saveBMP() throws Exception;

    /**
     * Pixels per row.
     *
     * @return the width
     */
    public int getWidth() {
        return width;
    }

    /**
     * Number of rows.
     *
     * @return the height
     */
    public int getHeight() {
        return height;
    }

    /**
     * The pixels, not copied.
     *
     * @return {@code width * height} grey values, row by row from the top
     */
    public byte[] getBuffer() {
        return buffer;
    }

    /**
     * The grey level of a pixel.
     *
     * @param x the column, 0 to {@code width - 1}
     * @param y the row, 0 (top) to {@code height - 1}
     * @return the grey level, 0 black to 255 white
     * @throws IndexOutOfBoundsException when the pixel lies outside the image
     */
    public int getPixel(int x, int y) {
        checkPixel(x, y);
        return buffer[y * width + x] & 0xFF;
    }

    /**
     * Sets the grey level of a pixel.
     *
     * @param x the column, 0 to {@code width - 1}
     * @param y the row, 0 (top) to {@code height - 1}
     * @param grey the grey level, 0 black to 255 white (only the low 8 bits are kept)
     * @throws IndexOutOfBoundsException when the pixel lies outside the image
     */
    public void setPixel(int x, int y, int grey) {
        checkPixel(x, y);
        buffer[y * width + x] = (byte) grey;
    }

    private void checkPixel(int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= height) {
            throw new IndexOutOfBoundsException("Pixel (" + x + ", " + y + ") outside " + width + " x " + height);
        }
    }

    @Override
    public String toString() {
        return "NImage[" + width + " x " + height + "]";
    }
}
