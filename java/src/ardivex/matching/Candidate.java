package ardivex.matching;

/**
 * A template of a {@link FingerprintBase} found by an identification.
 *
 * @param id the template's id, as {@link FingerprintBase#enroll} returned it
 * @param code the code it was enrolled under
 * @param finger the finger it was enrolled as (0 to 10)
 * @param score its score against the probe (see {@link NFMatcher})
 */
public record Candidate(long id, String code, int finger, int score) {
}
