package ardivex.matching;

import java.util.Objects;

/**
 * A template of a {@link FingerprintBase} found by an identification.
 * Two candidates are equal when all four of their values are. A candidate is
 * immutable and may be shared between threads.
 */
public final class Candidate {
    private final long id;
    private final String code;
    private final int finger;
    private final int score;

    /**
     * Makes a candidate.
     *
     * @param id the template's id, as {@link FingerprintBase#enroll} returned it
     * @param code the code it was enrolled under
     * @param finger the finger it was enrolled as (0 to 10)
     * @param score its score against the probe (see {@link NFMatcher})
     */
    public Candidate(long id, String code, int finger, int score) {
        this.id = id;
        this.code = code;
        this.finger = finger;
        this.score = score;
    }

    /**
     * The template's id.
     *
     * @return the id {@link FingerprintBase#enroll} returned for it
     */
    public long id() {
        return id;
    }

    /**
     * The code the template was enrolled under.
     *
     * @return the code
     */
    public String code() {
        return code;
    }

    /**
     * The finger the template was enrolled as.
     *
     * @return 0 to 10
     */
    public int finger() {
        return finger;
    }

    /**
     * The template's score against the probe.
     *
     * @return the score (see {@link NFMatcher})
     */
    public int score() {
        return score;
    }

    @Override
    public boolean equals(Object o) {
        if (this == o) {
            return true;
        }
        if (!(o instanceof Candidate)) {
            return false;
        }
        Candidate c = (Candidate) o;
        return id == c.id && finger == c.finger && score == c.score && Objects.equals(code, c.code);
    }

    @Override
    public int hashCode() {
        return Objects.hash(id, code, finger, score);
    }

    @Override
    public String toString() {
        return "Candidate[id=" + id + ", code=" + code + ", finger=" + finger + ", score=" + score + "]";
    }
}
