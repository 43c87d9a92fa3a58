/**
 * Template extraction.
 *
 * <p>An {@link ardivex.fingers.NFExtractor} finds the minutiae, cores and
 * deltas of a grey image at 500 pixels per inch through the extraction
 * engine that lies beside the native library, and returns them as an
 * NFRecord template ({@link ardivex.templates.NFRecord});
 * {@link ardivex.fingers.NFMinutiaFormat} and
 * {@link ardivex.fingers.NFTemplateSize} choose what the template keeps.
 * <pre>{@code
 * NFExtractor extractor = new NFExtractor(); // one per application
 * NFRecord template = extractor.extract(NImage.read(Path.of("finger.bmp")));
 * System.out.println(template.getMinutiae().size() + " minutiae");
 * }</pre>
 */
package ardivex.fingers;
