/**
 * 8-bit grey images and BMP files.
 *
 * <p>An {@link ardivex.images.NImage} holds {@code height} rows of
 * {@code width} bytes, top row first, 0 black to 255 white: the form in which
 * readers deliver images and the extraction engine takes them. It reads and
 * writes uncompressed 8-bit BMP files:
 * <pre>{@code
 * NImage image = NImage.read(Path.of("finger.bmp"));
 * image.write(Path.of("copy.bmp"));
 * }</pre>
 */
package ardivex.images;
