package ardivex.images;

import ardivex.NativeLibrary;

import java.nio.file.Files;
import java.nio.file.Path;

/**
 * An 8-bit grey image: {@code height} rows of {@code width} bytes, top row
 * first, 0 black to 255 white. It reads and writes Windows BMP files.
 *
 * <p>The fields are read and written by the native library by name; they are
 * not final so that it can set them.
 */
public class NImage {
    static {
        NativeLibrary.load();
    }

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
