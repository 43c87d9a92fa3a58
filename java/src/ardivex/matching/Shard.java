package ardivex.matching;

/**
 * The part of a base that one process holds and searches: the templates
 * whose id leaves the remainder {@link #index()} when divided by
 * {@link #count()}. With k processes opening one server base with the shards
 * 0 to k-1 of k, every template is held by exactly one of them, so that k
 * machines together search a gallery larger than one machine's memory.
 *
 * <pre>{@code
 * // on the third of four machines
 * try (FingerprintBase part = FingerprintBase.open(url, user, password, Shard.of(2, 4))) {
 *     List<Candidate> mine = part.identify(probe, 10);
 *     ... // merged with the other three parts' candidates (see docs/matching.md)
 * }
 * }</pre>
 *
 * <p>Ids are assigned by the database in turn, so the parts stay within one
 * template of each other in size as long as templates are enrolled and
 * removed at random.
 *
 * <p>A shard is immutable and may be shared between threads.
 */
public final class Shard {
    /** The whole base: one part of one. */
    public static final Shard WHOLE = new Shard(0, 1);

    private final int index;
    private final int count;

    private Shard(int index, int count) {
        this.index = index;
        this.count = count;
    }

    /**
     * Part {@code index} of {@code count}.
     *
     * @param index the part, 0 to count - 1
     * @param count the number of parts, at least 1
     * @return the shard
     * @throws IllegalArgumentException when count is below 1 or index is not 0 to count - 1
     */
    public static Shard of(int index, int count) {
        if (count < 1 || index < 0 || index >= count) {
            throw new IllegalArgumentException("A shard is part 0 to count - 1 of count >= 1 parts, not part " + index
                    + " of " + count);
        }
        return count == 1 ? WHOLE : new Shard(index, count);
    }

    /**
     * The part.
     *
     * @return 0 to {@link #count()} - 1
     */
    public int index() {
        return index;
    }

    /**
     * The number of parts.
     *
     * @return at least 1
     */
    public int count() {
        return count;
    }

    /**
     * Whether this part holds the template with this id.
     *
     * @param id a template id
     * @return whether id mod count is index
     */
    public boolean holds(long id) {
        return Math.floorMod(id, (long) count) == index;
    }

    /**
     * Whether this is the whole base.
     *
     * @return whether count is 1
     */
    public boolean isWhole() {
        return count == 1;
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof Shard && ((Shard) o).index == index && ((Shard) o).count == count;
    }

    @Override
    public int hashCode() {
        return 31 * count + index;
    }

    @Override
    public String toString() {
        return isWhole() ? "Shard[whole]" : "Shard[id mod " + count + " = " + index + "]";
    }
}
