package ardivex.matching;

import ardivex.templates.NFRecord;

import java.util.Arrays;

/**
 * A template to enroll under a code and a finger, checked when it is made, so
 * that {@link FingerprintBase#enrollAll} can enroll many in one transaction
 * and refuse none of them half-way.
 *
 * <pre>{@code
 * List<Enrollment> cards = new ArrayList<>();
 * for (Card c : newCards) {
 *     cards.add(new Enrollment(c.number(), 1, c.template()));
 * }
 * long[] ids = base.enrollAll(cards); // all of them or, on failure, none
 * }</pre>
 *
 * <p>A code is 1 to {@value FingerprintBase#MAX_CODE_LENGTH} UTF-16 units
 * long ({@link String#length()}: a character outside the Basic Multilingual
 * Plane, such as most emoji, counts two), holds no control character (U+0000
 * to U+001F, U+007F to U+009F) and no half of a surrogate pair without the
 * other half. Codes are shown to people and compared as text: a line break or
 * an escape sequence in one could make a listing show what is not there, and
 * databases store a lone surrogate differently (some as '?').
 *
 * <p>An enrollment is immutable and may be shared between threads.
 */
public final class Enrollment {
    private final String code;
    private final int finger;
    private final byte[] template;
    // The template prepared for the search, made once here.
    final byte[] block;

    /**
     * Checks and keeps a template to enroll. The template is copied.
     *
     * @param code the code to enroll under (see above)
     * @param finger the finger, 0 to {@value FingerprintBase#MAX_FINGER}
     * @param template the NFRecord bytes, with at least
     *     {@value FingerprintBase#MIN_MINUTIAE} minutiae
     * @throws MatchingException when the template is null, not a readable
     *     NFRecord, or has fewer than {@value FingerprintBase#MIN_MINUTIAE}
     *     minutiae
     * @throws IllegalArgumentException for a null or refused code, or a finger
     *     outside 0 to {@value FingerprintBase#MAX_FINGER}
     */
    public Enrollment(String code, int finger, byte[] template) throws MatchingException {
        this(code, finger, template, "The enrolled template is null");
    }

    /**
     * Checks and keeps a template to enroll, as {@link #Enrollment(String,
     * int, byte[])} its bytes.
     *
     * @param code the code to enroll under (see above)
     * @param finger the finger, 0 to {@value FingerprintBase#MAX_FINGER}
     * @param template the template, with at least
     *     {@value FingerprintBase#MIN_MINUTIAE} minutiae
     * @throws MatchingException when the template is null, not a readable
     *     NFRecord, or has fewer than {@value FingerprintBase#MIN_MINUTIAE}
     *     minutiae
     * @throws IllegalArgumentException for a null or refused code, or a finger
     *     outside 0 to {@value FingerprintBase#MAX_FINGER}
     */
    public Enrollment(String code, int finger, NFRecord template) throws MatchingException {
        this(code, finger, template == null ? null : template.getData(),
                template == null ? "The enrolled template is null" : "The enrolled template's bytes are null");
    }

    private Enrollment(String code, int finger, byte[] template, String whenNull) throws MatchingException {
        checkCode(code);
        if (finger < 0 || finger > FingerprintBase.MAX_FINGER) {
            throw new IllegalArgumentException("The finger must be 0 to " + FingerprintBase.MAX_FINGER + ", not "
                    + finger);
        }
        if (template == null) {
            throw new MatchingException(whenNull);
        }
        this.code = code;
        this.finger = finger;
        this.template = template.clone();
        this.block = FingerprintBase.prepare(this.template);
    }

    /**
     * Checks a code as enrolling does, for a caller that wants to refuse a
     * code before it takes the fingerprint (see above for the rules).
     *
     * @param code a code
     * @throws IllegalArgumentException naming what is wrong with it
     */
    public static void checkCode(String code) {
        if (code == null || code.isEmpty() || code.length() > FingerprintBase.MAX_CODE_LENGTH) {
            throw new IllegalArgumentException("The code must have 1 to " + FingerprintBase.MAX_CODE_LENGTH
                    + " characters (UTF-16 units)" + (code == null ? ", not null" : ", not " + code.length()));
        }
        for (int k = 0; k < code.length(); k++) {
            char c = code.charAt(k);
            if (Character.isISOControl(c)) {
                throw new IllegalArgumentException(String.format(
                        "The code holds the control character U+%04X at position %d: codes are printed as text", (int) c,
                        k));
            }
            boolean paired = Character.isHighSurrogate(c) ? k + 1 < code.length()
                    && Character.isLowSurrogate(code.charAt(k + 1))
                    : !Character.isLowSurrogate(c);
            if (!paired) {
                throw new IllegalArgumentException(String.format(
                        "The code holds half of a surrogate pair (U+%04X) at position %d without its other half",
                        (int) c, k));
            }
            if (Character.isHighSurrogate(c)) {
                k++;
            }
        }
    }

    /**
     * The code.
     *
     * @return the code the template is to be enrolled under
     */
    public String code() {
        return code;
    }

    /**
     * The finger.
     *
     * @return 0 to {@value FingerprintBase#MAX_FINGER}
     */
    public int finger() {
        return finger;
    }

    /**
     * The template.
     *
     * @return a copy of the NFRecord bytes
     */
    public byte[] template() {
        return template.clone();
    }

    byte[] templateBytes() {
        return template;
    }

    @Override
    public String toString() {
        return "Enrollment[code=" + code + ", finger=" + finger + ", " + template.length + " bytes]";
    }

    @Override
    public boolean equals(Object o) {
        if (!(o instanceof Enrollment)) {
            return false;
        }
        Enrollment e = (Enrollment) o;
        return finger == e.finger && code.equals(e.code) && Arrays.equals(template, e.template);
    }

    @Override
    public int hashCode() {
        return 31 * (31 * code.hashCode() + finger) + Arrays.hashCode(template);
    }
}
