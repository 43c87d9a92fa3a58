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
     * @throws MatchingException when a template is null or not a readable
     *     NFRecord (for example cut short)
     */
    public int verify(byte[] probe, byte[] candidate) throws MatchingException {
        return innerVerify(probe, candidate);
    }

    /**
     * The least score at which about {@code falseMatchRate} of impostor
     * comparisons (templates of different fingers) pass, as measured by the
     * shipped evaluation. Documented rates are 1e-2, 1e-3 and 1e-4; between two
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
}
