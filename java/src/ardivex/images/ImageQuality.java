package ardivex.images;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Objects;

/**
 * How usable a fingerprint picture is: a score from 0 (nothing to match) to
 * 100 (a large, clear print), with advice a person can act on when it is poor.
 *
 * <p>The extraction engine derives both from what it measures on the picture:
 * the area of print and how clear its ridges are (the score), the mean grey
 * level and ridge-valley contrast of the print, the area's position in the
 * picture, and whether its unclear parts are dark or light (the advice). The
 * score predicts matching errors: pictures that score low are the ones that
 * fail to match their own finger most often.
 *
 * <p>Instances are immutable and safe to share between threads.
 *
 * <pre>{@code
 * ImageQuality q = new NFExtractor().quality(image);
 * if (q.score() < 40) {
 *     for (ImageQuality.Hint h : q.hints()) {
 *         System.out.println(h.message());   // "Press more lightly", ...
 *     }
 * }
 * }</pre>
 */
public final class ImageQuality {
    /** Advice on how to take a better picture. */
    public enum Hint {
        /** The print is faint: too little pressure, or a dry finger barely touching. */
        TOO_LIGHT("Press a little harder"),
        /** The print is dark all over: too much pressure, or a wet finger. */
        TOO_DARK("Press more lightly"),
        /** Only a small part of the finger is on the reader. */
        TOO_LITTLE_FINGER("Place more of your finger flat on the reader"),
        /** The print lies towards an edge of the picture. */
        OFF_CENTRE("Place your finger in the middle of the reader"),
        /** The ridges run together in dark patches. */
        SMUDGED("Wipe your finger and the reader, then try again"),
        /** The ridges are broken and faint in patches. */
        TOO_DRY("Your finger is dry: breathe on it or moisten it slightly, then try again");

        private final String message;

        Hint(String message) {
            this.message = message;
        }

        /**
         * What the person should do, in English, as one sentence without a final stop.
         *
         * @return the advice
         */
        public String message() {
            return message;
        }
    }

    private final int score;
    private final List<Hint> hints;

    /**
     * A score and its advice.
     *
     * @param score 0 to 100
     * @param hints the advice, most important first; copied; no nulls, no repeats
     * @throws IllegalArgumentException when the score is outside 0 to 100, or a hint repeats
     * @throws NullPointerException when hints or one of them is null
     */
    public ImageQuality(int score, List<Hint> hints) {
        if (score < 0 || score > 100) {
            throw new IllegalArgumentException("A quality score is 0 to 100, not " + score);
        }
        List<Hint> copy = new ArrayList<>(hints.size());
        for (Hint h : hints) {
            Objects.requireNonNull(h, "a hint is null");
            if (copy.contains(h)) {
                throw new IllegalArgumentException("Hint " + h + " given twice");
            }
            copy.add(h);
        }
        this.score = score;
        this.hints = Collections.unmodifiableList(copy);
    }

    /**
     * The score.
     *
     * @return 0 (no usable print) to 100
     */
    public int score() {
        return score;
    }

    /**
     * The advice, most important first.
     *
     * @return an unmodifiable list, empty when there is nothing to say
     */
    public List<Hint> hints() {
        return hints;
    }

    @Override
    public boolean equals(Object o) {
        if (!(o instanceof ImageQuality)) {
            return false;
        }
        ImageQuality q = (ImageQuality) o;
        return q.score == score && q.hints.equals(hints);
    }

    @Override
    public int hashCode() {
        return 31 * score + hints.hashCode();
    }

    @Override
    public String toString() {
        return "ImageQuality[" + score + (hints.isEmpty() ? "" : ", " + hints) + "]";
    }
}
