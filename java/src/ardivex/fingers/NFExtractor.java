package ardivex.fingers;

import ardivex.NativeLibrary;
import ardivex.images.ImageQuality;
import ardivex.images.NImage;
import ardivex.templates.NFRecord;

/**
 * Extracts fingerprint templates (NFRecord) from 8-bit grey images through the
 * extraction engine "OmExtract" that the native library loads beside itself.
 *
 * <p>Every extractor holds its own engine configuration, filled with the
 * engine's defaults when it is created; it is never freed, so create one per
 * application rather than one per image. Extractors may be used from any
 * thread: the library runs one extraction at a time.
 *
 * <p>Images are taken at 500 pixels per inch. When the registry value "SI" of
 * HKEY_CURRENT_USER\Software\Ardivex BR\dactylink is 1, each image is also kept
 * in the folder "imglog" beside the native library (today's and yesterday's
 * images only).
 */
public class NFExtractor {
    static {
        NativeLibrary.load();
    }

    /** The native configuration record; read by the library by name. */
    private long handle;

    /**
     * Loads the engine on first use and creates this extractor's configuration.
     *
     * @throws UnsatisfiedLinkError when the native library cannot be loaded
     * @throws Exception "Could not load OmExtractor library - " and the path
     *         where the engine was expected, when it cannot be loaded
     */
    public NFExtractor() throws Exception {
        handle = innerCreateExtractor();
    }

    /**
     * Extracts with {@link NFMinutiaFormat#EXTENDED} and {@link NFTemplateSize#FULL}.
     *
     * @param image an 8-bit grey image at 500 pixels per inch
     * @return the template
     * @throws Exception as {@link #extract(NImage, NFMinutiaFormat, NFTemplateSize)}
     */
    public NFRecord extract(NImage image) throws Exception {
        return extract(image, NFMinutiaFormat.EXTENDED, NFTemplateSize.FULL);
    }

    /**
     * Extracts the template of a grey image.
     *
     * @param image an 8-bit grey image at 500 pixels per inch
     * @param format which bytes each minutia carries
     * @param size how many minutiae the template keeps at most
     * @return the template
     * @throws Exception when the image is missing, has a negative size or
     *         fewer pixels than width * height, or the engine finds no template
     */
    public NFRecord extract(NImage image, NFMinutiaFormat format, NFTemplateSize size) throws Exception {
        return new NFRecord(extractBytes(image, format, size));
    }

    /**
     * Like {@link #extract(NImage, NFMinutiaFormat, NFTemplateSize)}, returning the NFRecord bytes.
     *
     * @param image an 8-bit grey image at 500 pixels per inch
     * @param format which bytes each minutia carries
     * @param size how many minutiae the template keeps at most
     * @return the bytes of the NFRecord template
     * @throws NullPointerException when format or size is null
     * @throws Exception as {@link #extract(NImage, NFMinutiaFormat, NFTemplateSize)}
     */
    public byte[] extractBytes(NImage image, NFMinutiaFormat format, NFTemplateSize size) throws Exception {
        if (format == null || size == null) {
            throw new NullPointerException("format and size are required");
        }
        return innerExtract(image, format, size);
    }

    /**
     * Judges a picture before it is enrolled or compared: the engine's quality
     * score and its advice on taking a better picture. The engine measures
     * the picture as it extracts, so this costs one extraction; when the
     * template is wanted as well, {@link #extract(NImage)} followed by
     * {@link NFRecord#getImageQuality()} gives both for the same cost.
     *
     * <pre>{@code
     * ImageQuality q = extractor.quality(image);
     * System.out.println(q.score() + " " + q.hints());
     * }</pre>
     *
     * @param image an 8-bit grey image at 500 pixels per inch
     * @return the score (0 to 100) and the advice, most important first
     * @throws Exception as {@link #extract(NImage, NFMinutiaFormat, NFTemplateSize)}
     */
    public ImageQuality quality(NImage image) throws Exception {
        return extract(image, NFMinutiaFormat.BASIC, NFTemplateSize.FULL).getImageQuality();
    }

    // The native configuration record's address, 0 only if creation failed;
    // for the tests.
    long getHandle() {
        return handle;
    }

    private native long innerCreateExtractor() throws Exception;

    private native byte[] innerExtract(NImage image, NFMinutiaFormat format, NFTemplateSize size)
            throws Exception;
}
