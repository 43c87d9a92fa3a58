package ardivex.matching;

/**
 * Told how far the opening of a base has come: opening a large base reads
 * every template it holds (a million take tens of seconds), and an
 * application shows that instead of seeming to hang.
 *
 * <pre>{@code
 * FingerprintBase base = FingerprintBase.open(url, user, password, Shard.WHOLE,
 *         (read, total) -> System.out.printf("%,d of %,d templates read%n", read, total));
 * }</pre>
 *
 * <p>It is called on the thread that opens the base, first with
 * {@code read} 0, then each time about a hundredth of the templates more
 * have been read (at most every 10,000), and last once all are read. An
 * exception it throws ends the opening: the base is not opened, the
 * exception reaches the caller of {@code open}.
 */
@FunctionalInterface
public interface LoadProgress {
    /** Tells nothing. */
    LoadProgress NONE = (read, total) -> { };

    /**
     * @param read the rows read so far (templates, and rows that are not
     *     templates, which the base lists as unreadable)
     * @param total the rows the base (or the part a shard holds) held when
     *     the reading began; others enrolling at the same time may take
     *     {@code read} past it
     */
    void loaded(long read, long total);
}
