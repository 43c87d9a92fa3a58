package ardivex.templates;

/**
 * A core: position and angle.
 *
 * <p>A plain value with public fields, filled by {@link NFRecord}: not safe
 * for use by several threads while one of them changes it; share it only once
 * no thread writes to it any more.
 */
public class NFCore {
    /** Column, in pixels. */
    public int X;
    /** Row, in pixels from the top. */
    public int Y;
    /** Direction, 256 steps per circle counter-clockwise from +X. */
    public int Angle;

    /** A core at (0, 0); {@link NFRecord#getCores()} fills its fields. */
    public NFCore() {
    }

    @Override
    public String toString() {
        return "NFCore[X=" + X + ", Y=" + Y + ", Angle=" + Angle + "]";
    }
}
