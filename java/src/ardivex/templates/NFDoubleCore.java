package ardivex.templates;

/**
 * A double core: position only.
 *
 * <p>A plain value with public fields, filled by {@link NFRecord}: not safe
 * for use by several threads while one of them changes it; share it only once
 * no thread writes to it any more.
 */
public class NFDoubleCore {
    /** Column, in pixels. */
    public int X;
    /** Row, in pixels from the top. */
    public int Y;

    /** A double core at (0, 0); {@link NFRecord#getDoubleCores()} fills its fields. */
    public NFDoubleCore() {
    }

    @Override
    public String toString() {
        return "NFDoubleCore[X=" + X + ", Y=" + Y + "]";
    }
}
