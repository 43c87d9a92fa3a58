package ardivex.matching;

import ardivex.fingers.NFExtractor;
import ardivex.images.ImageQuality;
import ardivex.images.NImage;
import ardivex.scanners.FingerListener;
import ardivex.scanners.Scanner;
import ardivex.templates.NFRecord;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Enrolls a finger from several touches on a reader, telling the person what
 * to do at every step: place the finger, hold still, lift it, place it again,
 * press more firmly. Each touch is taken only after the finger was lifted
 * from the one before, judged by its image's quality (a poor touch is refused
 * with the reason and taken again), and the touches are checked against each
 * other: every touch must match at least one other at
 * {@code NFMatcher.threshold(1e-3)}, or the enrollment is refused as not of
 * one finger. Before it returns, the touches are searched for in a base, so
 * that a finger already enrolled under another code is reported; the caller
 * decides what to do with it.
 *
 * <pre>{@code
 * GuidedEnrollment guide = new GuidedEnrollment(new NFExtractor())
 *         .checkAgainst(base, "card-1042")
 *         .progress((step, touch, of, message) -> label.setText(message));
 * GuidedEnrollment.Result r = guide.enroll(scanner); // blocks; guide.cancel() ends it
 * if (r.duplicates().isEmpty()) {
 *     for (byte[] t : r.touches()) {       // every touch: found more often than one template
 *         base.enroll("card-1042", 1, t);
 *     }
 * }
 * }</pre>
 *
 * <p>Threads: {@link #enroll} blocks the calling thread (never call it on an
 * event dispatch thread or in a scanner's listener); the progress listener is
 * called on that thread. {@link #cancel()} may be called from any thread. One
 * enrollment at a time per object.
 */
public final class GuidedEnrollment {
    /** The steps the progress listener is told of. */
    public enum Step {
        /** Waiting for the finger: the first touch, or again after a lift. */
        PLACE,
        /** The finger rests on the reader; its images are being taken. */
        HOLD,
        /** The touch was taken: the finger is to be lifted. */
        LIFT,
        /** The touch was refused (the message says why); it is taken again. */
        REFUSED,
        /** Every touch was taken and the touches agree. */
        DONE
    }

    /** Told of each step, on the enrolling thread. */
    @FunctionalInterface
    public interface Progress {
        /**
         * @param step what happens now
         * @param touch the touch it concerns, 1 to {@code touches}
         * @param touches how many touches the enrollment takes
         * @param message what to tell the person, in English
         */
        void progress(Step step, int touch, int touches, String message);
    }

    /** Why an enrollment ended without a result. */
    public enum Reason {
        /** {@link #cancel()} was called. */
        CANCELLED,
        /** No finger came, or it was not lifted, within the time-out. */
        TIMED_OUT,
        /** The touches are not of one finger. */
        INCONSISTENT
    }

    /** An enrollment that ended without a result; {@link #reason()} tells why. */
    public static final class EnrollmentException extends MatchingException {
        private static final long serialVersionUID = 1L;
        /** Why the enrollment ended. */
        private final Reason reason;

        EnrollmentException(Reason reason, String message) {
            super(message);
            this.reason = reason;
        }

        /** @return why the enrollment ended */
        public Reason reason() {
            return reason;
        }
    }

    /** What an enrollment gives: the template to enroll and what was found on the way. */
    public static final class Result {
        private final byte[] template;
        private final int quality;
        private final List<byte[]> touches;
        private final List<Candidate> duplicates;

        Result(byte[] template, int quality, List<byte[]> touches, List<Candidate> duplicates) {
            this.template = template;
            this.quality = quality;
            this.touches = touches;
            this.duplicates = duplicates;
        }

        /**
         * The single template that stands for the finger: the touch that
         * matches the others best. Enrolling every touch instead
         * ({@link #touches()}, each under the same code and finger) finds the
         * finger more often: tools/enroll-eval measures both.
         *
         * @return the template (a copy)
         */
        public byte[] template() {
            return template.clone();
        }

        /** @return the quality score of that touch's image, 0 to 100 */
        public int quality() {
            return quality;
        }

        /** @return the templates of every touch, in the order taken */
        public List<byte[]> touches() {
            List<byte[]> out = new ArrayList<>(touches.size());
            for (byte[] t : touches) {
                out.add(t.clone());
            }
            return out;
        }

        /**
         * @return the fingerprints of the base given to
         *     {@link GuidedEnrollment#checkAgainst} that a touch matches,
         *     enrolled under another code, best first; empty when none (or no
         *     base was given)
         */
        public List<Candidate> duplicates() {
            return duplicates;
        }
    }

    /** The false match rate at which touches must agree and duplicates are found. */
    public static final double RATE = 1e-3;
    /** The least image quality of a touch that is taken, by default. */
    public static final int DEFAULT_MIN_QUALITY = 60;
    /** Images of a touch looked at, at most, before the best one is taken. */
    public static final int IMAGES_PER_TOUCH = 5;

    private static final Object PLACED = new Object();
    private static final Object LIFTED = new Object();
    private static final Object CANCEL = new Object();
    private static final Object ALREADY_ON = new Object();

    private final NFExtractor extractor;
    private int touches = 3;
    private int minQuality = DEFAULT_MIN_QUALITY;
    private Duration timeout = Duration.ofSeconds(30);
    private Progress progress = (s, t, n, m) -> { };
    private FingerprintBase base;
    private String code;
    private volatile boolean cancelled;
    private volatile BlockingQueue<Object> events;

    /**
     * An enrollment that extracts with {@code extractor}.
     *
     * @param extractor the extractor of the touches' templates
     * @throws NullPointerException when {@code extractor} is null
     */
    public GuidedEnrollment(NFExtractor extractor) {
        this.extractor = Objects.requireNonNull(extractor, "the extractor is null");
    }

    /**
     * @param n how many touches to take, 2 or more (default 3)
     * @return this
     * @throws IllegalArgumentException when {@code n} is below 2: one touch cannot be checked
     */
    public GuidedEnrollment touches(int n) {
        if (n < 2) {
            throw new IllegalArgumentException("an enrollment takes at least 2 touches, not " + n);
        }
        touches = n;
        return this;
    }

    /**
     * @param q the least image quality score of a touch that is taken, 0 to
     *     100 (default {@value #DEFAULT_MIN_QUALITY}); a touch below it is
     *     refused with the score's advice and taken again
     * @return this
     * @throws IllegalArgumentException when {@code q} is outside 0 to 100
     */
    public GuidedEnrollment minQuality(int q) {
        if (q < 0 || q > 100) {
            throw new IllegalArgumentException("the least quality must be 0 to 100, not " + q);
        }
        minQuality = q;
        return this;
    }

    /**
     * @param t how long each wait (for a finger, for its lift) may take (default 30 s)
     * @return this
     * @throws IllegalArgumentException when {@code t} is zero or negative
     */
    public GuidedEnrollment timeout(Duration t) {
        if (t.isZero() || t.isNegative()) {
            throw new IllegalArgumentException("the time-out must be positive: " + t);
        }
        timeout = t;
        return this;
    }

    /**
     * @param p told of every step (replaces the one before)
     * @return this
     */
    public GuidedEnrollment progress(Progress p) {
        progress = Objects.requireNonNull(p, "the progress listener is null");
        return this;
    }

    /**
     * Searches the touches in a base before the result is returned:
     * fingerprints enrolled under another code than {@code code} that match
     * are reported in {@link Result#duplicates()}.
     *
     * @param b the base
     * @param enrollingCode the code being enrolled
     * @return this
     */
    public GuidedEnrollment checkAgainst(FingerprintBase b, String enrollingCode) {
        base = Objects.requireNonNull(b, "the base is null");
        code = Objects.requireNonNull(enrollingCode, "the code is null");
        return this;
    }

    /** Ends a running enrollment at its next wait (at once when it waits now), and refuses the next one. */
    public void cancel() {
        cancelled = true;
        BlockingQueue<Object> q = events;
        if (q != null) {
            q.offer(CANCEL);
        }
    }

    /**
     * Takes the touches from a reader. Starts capturing when the scanner does
     * not capture yet, and then stops it again however the enrollment ends.
     *
     * @param scanner the reader
     * @return the result
     * @throws EnrollmentException when cancelled, timed out, or the touches are not of one finger
     * @throws MatchingException when the base cannot be searched
     * @throws InterruptedException when the calling thread is interrupted
     * @throws Exception when the reader or the extraction fails
     */
    public Result enroll(Scanner scanner) throws Exception {
        return onReader(scanner, q -> {
            List<Touch> taken = new ArrayList<>();
            while (taken.size() < touches) {
                Touch t = takeTouch(q, taken.size() + 1, touches);
                if (t != null) {
                    taken.add(t);
                }
            }
            Result r = combine(taken);
            progress.progress(Step.DONE, touches, touches, r.duplicates().isEmpty() ? "Enrolled"
                    : "This finger is enrolled already under " + r.duplicates().get(0).code());
            return r;
        });
    }

    /**
     * Takes one touch from a reader, judged as the touches of an enrollment
     * are (a poor one is refused and taken again), for an identification or a
     * verification; the progress listener is told of it as touch 1 of 1.
     *
     * @param scanner the reader
     * @return the touch's template
     * @throws EnrollmentException when cancelled or timed out
     * @throws Exception when the reader or the extraction fails
     */
    public byte[] takeOne(Scanner scanner) throws Exception {
        return onReader(scanner, q -> {
            Touch t;
            do {
                t = takeTouch(q, 1, 1);
            } while (t == null);
            return t.template;
        });
    }

    private interface ReaderWork<T> {
        T run(BlockingQueue<Object> q) throws Exception;
    }

    // Runs `work` with the reader's finger events and images in `q`; starts
    // capturing when the scanner does not capture yet, and then stops it again.
    private <T> T onReader(Scanner scanner, ReaderWork<T> work) throws Exception {
        // Finger events are never dropped; images beyond a few waiting ones are (a
        // slow extraction must not fill the memory).
        BlockingQueue<Object> q = new LinkedBlockingQueue<>();
        events = q;
        if (cancelled) {
            events = null;
            throw new EnrollmentException(Reason.CANCELLED, "The enrollment was cancelled");
        }
        FingerListener fingers = new FingerListener() {
            @Override
            public void fingerPlaced(Scanner s) {
                q.offer(PLACED);
            }

            @Override
            public void fingerLifted(Scanner s) {
                q.offer(LIFTED);
            }
        };
        Scanner.ScanListener images = (s, e) -> {
            if (e.kind == Scanner.ScanEventKind.ImageScanned && e.image != null && e.image.buffer != null
                    && q.size() < 2 * IMAGES_PER_TOUCH) {
                q.offer(new NImage(e.image.width, e.image.height, e.image.buffer));
            }
        };
        scanner.addFingerListener(fingers);
        scanner.addScanListener(images);
        boolean started = !scanner.isCapturing();
        try {
            if (started) {
                scanner.startCapturing();
            } else if (scanner.isFingerPlaced()) {
                q.offer(ALREADY_ON); // a touch begins only after this finger is lifted
            }
            return work.run(q);
        } finally {
            events = null;
            scanner.removeScanListener(images);
            scanner.removeFingerListener(fingers);
            if (started) {
                scanner.stopCapturing();
            }
        }
    }

    // Touch k of n: waits for a finger placed after a lift, takes its images,
    // judges them and waits for the lift. Null when the touch was refused (the
    // listener was told why).
    private Touch takeTouch(BlockingQueue<Object> q, int k, int n) throws Exception {
        progress.progress(Step.PLACE, k, n, k == 1 ? "Place your finger on the reader" : "Place the same finger again");
        Object ev;
        do {
            ev = next(q, "No finger was placed within");
            if (ev == ALREADY_ON) {
                progress.progress(Step.LIFT, k, n, "Lift your finger, then place it again");
                awaitLift(q);
                progress.progress(Step.PLACE, k, n, k == 1 ? "Place your finger on the reader"
                        : "Place the same finger again");
            }
        } while (ev != PLACED);
        progress.progress(Step.HOLD, k, n, "Hold still");
        List<NImage> seen = new ArrayList<>();
        boolean lifted = false;
        while (seen.size() < IMAGES_PER_TOUCH) {
            ev = next(q, "No image came from the reader within");
            if (ev == LIFTED) {
                lifted = true;
                break;
            }
            if (ev instanceof NImage) {
                seen.add((NImage) ev);
            }
        }
        Touch t = seen.isEmpty() ? null : judge(seen);
        if (t == null || t.refusal != null) {
            progress.progress(Step.REFUSED, k, n, (t == null ? "The finger was lifted too soon" : t.refusal)
                    + ": lift it and place it again");
            t = null;
        } else if (k < n) {
            progress.progress(Step.LIFT, k, n, "Lift your finger");
        }
        // After the last touch nobody waits for the lift: a next enrollment
        // on a reader that goes on capturing waits for it instead.
        if (!lifted && (t == null || k < n)) {
            awaitLift(q);
        }
        return t;
    }

    /**
     * Takes the touches from images taken before, one per touch (files, or
     * images an application captured itself): each is judged and the touches
     * are checked against each other as from a reader.
     *
     * @param images one image per touch, at least 2
     * @return the result
     * @throws EnrollmentException when the touches are not of one finger
     * @throws MatchingException when an image is too poor to enroll (its
     *     message says why), or when the base cannot be searched
     * @throws Exception when the extraction fails
     */
    public Result enroll(List<NImage> images) throws Exception {
        if (images.size() < 2) {
            throw new IllegalArgumentException("an enrollment takes at least 2 touches, not " + images.size());
        }
        List<Touch> taken = new ArrayList<>();
        for (NImage img : images) {
            Touch t = judge(List.of(img));
            if (t.refusal != null) {
                throw new MatchingException("Touch " + (taken.size() + 1) + " is refused: " + t.refusal);
            }
            taken.add(t);
        }
        return combine(taken);
    }

    // One touch: the template of its best image, with that image's quality,
    // or why it is refused.
    private static final class Touch {
        byte[] template;
        int quality = -1;
        String refusal;
    }

    private Touch judge(List<NImage> images) throws Exception {
        // Every image of the touch is extracted; the one of the best quality counts.
        Touch t = null;
        ImageQuality bestQuality = null;
        for (NImage img : images) {
            NFRecord r;
            try {
                r = extractor.extract(img);
            } catch (Exception e) {
                continue; // no print in this one
            }
            ImageQuality q = r.getImageQuality();
            if (bestQuality == null || q.score() > bestQuality.score()) {
                bestQuality = q;
                t = new Touch();
                t.template = r.getData();
                t.quality = q.score();
            }
        }
        if (t == null) {
            t = new Touch();
            t.refusal = "No fingerprint was found";
            return t;
        }
        if (t.quality < minQuality) {
            t.refusal = (bestQuality.hints().isEmpty() ? "The print is not clear enough"
                    : bestQuality.hints().get(0).message()) + " (quality " + t.quality + ", at least " + minQuality
                    + " is needed)";
        } else if (NFMatcher.check(t.template) < FingerprintBase.MIN_MINUTIAE) {
            t.refusal = ImageQuality.Hint.TOO_LITTLE_FINGER.message();
        }
        return t;
    }

    private Result combine(List<Touch> taken) throws MatchingException {
        int n = taken.size();
        int least = NFMatcher.threshold(RATE);
        NFMatcher matcher = new NFMatcher();
        int[][] score = new int[n][n];
        for (int i = 0; i < n; i++) {
            for (int j = i + 1; j < n; j++) {
                score[i][j] = score[j][i] = matcher.verify(taken.get(i).template, taken.get(j).template);
            }
        }
        List<Integer> alone = new ArrayList<>();
        int best = 0;
        long bestSum = -1;
        for (int i = 0; i < n; i++) {
            boolean matched = false;
            long sum = 0;
            for (int j = 0; j < n; j++) {
                if (j != i) {
                    matched |= score[i][j] >= least;
                    sum += score[i][j];
                }
            }
            if (!matched) {
                alone.add(i + 1);
            }
            if (sum > bestSum) {
                bestSum = sum;
                best = i;
            }
        }
        if (!alone.isEmpty()) {
            StringBuilder which = new StringBuilder();
            for (int i = 0; i < alone.size(); i++) {
                which.append(i == 0 ? "" : i == alone.size() - 1 ? " and " : ", ").append(alone.get(i));
            }
            throw new EnrollmentException(Reason.INCONSISTENT, "The touches are not of one finger: touch"
                    + (alone.size() == 1 ? " " : "es ") + which + " match" + (alone.size() == 1 ? "es" : "")
                    + " no other");
        }
        List<byte[]> templates = new ArrayList<>();
        for (Touch t : taken) {
            templates.add(t.template);
        }
        return new Result(taken.get(best).template.clone(), taken.get(best).quality, templates, duplicates(templates));
    }

    private List<Candidate> duplicates(List<byte[]> templates) throws MatchingException {
        if (base == null) {
            return List.of();
        }
        int least = NFMatcher.threshold(RATE);
        Map<Long, Candidate> found = new LinkedHashMap<>();
        for (byte[] t : templates) {
            for (Candidate c : base.identify(t, 5, least)) {
                if (!c.code().equals(code)) {
                    found.merge(c.id(), c, (a, b) -> a.score() >= b.score() ? a : b);
                }
            }
        }
        List<Candidate> out = new ArrayList<>(found.values());
        out.sort((a, b) -> Integer.compare(b.score(), a.score()));
        return Collections.unmodifiableList(out);
    }

    private void awaitPlaced(BlockingQueue<Object> q) throws Exception {
        while (next(q, "No finger was placed within") != PLACED) {
            // images and lifts of before: the touch begins with its placed
        }
    }

    private void awaitLift(BlockingQueue<Object> q) throws Exception {
        while (next(q, "The finger was not lifted within") != LIFTED) {
            // images of the touch already taken
        }
    }

    private Object next(BlockingQueue<Object> q, String timedOut) throws Exception {
        if (cancelled) {
            throw new EnrollmentException(Reason.CANCELLED, "The enrollment was cancelled");
        }
        Object ev = q.poll(timeout.toNanos(), TimeUnit.NANOSECONDS);
        if (ev == CANCEL || cancelled) {
            throw new EnrollmentException(Reason.CANCELLED, "The enrollment was cancelled");
        }
        if (ev == null) {
            throw new EnrollmentException(Reason.TIMED_OUT, timedOut + " " + timeout.toMillis() / 1000.0 + " s");
        }
        return ev;
    }
}
