/**
 * NFRecord templates and their items.
 *
 * <p>An {@link ardivex.templates.NFRecord} holds the bytes of a template;
 * the native library reads its items: minutiae
 * ({@link ardivex.templates.NFMinutia}, with their
 * {@link ardivex.templates.NFMinutiaType}), cores
 * ({@link ardivex.templates.NFCore}), deltas
 * ({@link ardivex.templates.NFDelta}) and double cores
 * ({@link ardivex.templates.NFDoubleCore}). Positions are pixels of the
 * image the template was extracted from; angles have 256 steps per turn,
 * counter-clockwise from the X axis as the picture is seen.
 * <pre>{@code
 * NFRecord template = new NFRecord(Files.readAllBytes(Path.of("finger.nfr")));
 * for (NFMinutia m : template.getMinutiae()) {
 *     System.out.println(m.X + ", " + m.Y + ": " + m.getType());
 * }
 * }</pre>
 */
package ardivex.templates;
