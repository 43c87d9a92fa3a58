package ardivex.matching;

import ardivex.NativeLibrary;
import ardivex.templates.NFRecord;

/**
 * Compares two fingerprint templates (NFRecord) by their minutiae.
 *
 * <p>The score is 0 for templates with nothing in common and higher the more
 * alike they are; it is the same whichever template is the probe, and the
 * same on every platform. The comparison tolerates rotation, translation,
 * elastic distortion and partial overlap of the two impressions. To decide
 * whether two templates are of the same finger, compare the score with
 * {@link #threshold(double)} for the false match rate the application
 * accepts.
 *
 * <p>An {@code NFMatcher} holds no state: one instance may be used by many
 * threads at once.
 */
public class NFMatcher {
    static {
        NativeLibrary.load();
    }

    /** A matcher. */
    public NFMatcher() {
    }

    /**
     * The score of two templates.
     *
     * @param probe a template
     * @param candidate another template
     * @return 0 for nothing in common, higher for more alike
     * @throws MatchingException when a template is null or not a readable
     *     NFRecord (for example cut short)
     */
    public int verify(NFRecord probe, NFRecord candidate) throws MatchingException {
        if (probe == null || candidate == null) {
            throw new MatchingException("The " + (probe == null ? "probe" : "candidate") + " template is null");
        }
        return verify(probe.getData(), candidate.getData());
    }

    /**
     * The score of two templates given as NFRecord bytes.
     *
     * @param probe the bytes of a template
     * @param candidate the bytes of another template
     * @return 0 for nothing in common, higher for more alike
     * @throws MatchingException when a template is null or not a template
     *     by the rules of {@link #check(byte[])}; a template without
     *     minutiae scores 0
     */
    public int verify(byte[] probe, byte[] candidate) throws MatchingException {
        return innerVerify(probe, candidate);
    }

    /**
     * Checks that bytes form an NFRecord template, by the rules the matcher,
     * {@link FingerprintBase} and this class apply before they use a template:
     * the header's 26 bytes are there, the minutia record size is 4 plus the
     * optional bytes that the flags announce, the length of the block after
     * the minutiae is not negative, and every block (minutiae, that block,
     * cores, deltas, double cores) lies whole inside the bytes, with records
     * long enough for what is read from them. The first 22 bytes, and every
     * value inside a record, are the writer's own: templates of other engines
     * pass. A template with no minutiae passes too, with a count of 0: it is
     * readable, but the matcher has nothing to compare in it (every score
     * against it is 0).
     *
     * <pre>{@code
     * byte[] bytes = Files.readAllBytes(path);
     * if (NFMatcher.check(bytes) == 0) {
     *     System.err.println(path + ": no minutiae, nothing to compare");
     * }
     * }</pre>
     *
     * @param template the bytes to check
     * @return the number of minutiae, 0 to 255
     * @throws MatchingException when the bytes are null or do not form a
     *     template; the message names what is wrong (for example a template
     *     cut short, or a PNG file's bytes)
     */
    public static int check(byte[] template) throws MatchingException {
        if (template == null) {
            throw new MatchingException("The template is null");
        }
        return innerCheck(template);
    }

    /**
     * The least score at which about {@code falseMatchRate} of impostor
     * comparisons (templates of different fingers) pass, derived from real
     * prints (1e-4 only roughly: see docs/matching.md). Documented rates are
     * 1e-2, 1e-3 and 1e-4; between two
     * of them the score is interpolated on the logarithm of the rate (and
     * rounded up); a rate above 1e-2 gives the score of 1e-2, a rate below
     * 1e-4 (or not a positive number) the score of 1e-4.
     *
     * @param falseMatchRate the share of impostor comparisons allowed to pass
     * @return the threshold score
     */
    public static int threshold(double falseMatchRate) {
        return innerThreshold(falseMatchRate);
    }

    private static native int innerVerify(byte[] probe, byte[] candidate) throws MatchingException;

    private static native int innerThreshold(double falseMatchRate);

    private static native int innerCheck(byte[] template) throws MatchingException;
}
