package ardivex.templates;

/**
 * A delta: position and its three angles.
 *
 * <p>A plain value with public fields, filled by {@link NFRecord}: not safe
 * for use by several threads while one of them changes it; share it only once
 * no thread writes to it any more.
 */
public class NFDelta {
    /** Column, in pixels. */
    public int X;
    /** Row, in pixels from the top. */
    public int Y;
    /** First direction, 256 steps per circle counter-clockwise from +X. */
    public int Angle1;
    /** Second direction. */
    public int Angle2;
    /** Third direction. */
    public int Angle3;

    /** A delta at (0, 0); {@link NFRecord#getDeltas()} fills its fields. */
    public NFDelta() {
    }

    @Override
    public String toString() {
        return "NFDelta[X=" + X + ", Y=" + Y + ", Angle1=" + Angle1 + ", Angle2=" + Angle2 + ", Angle3=" + Angle3 + "]";
    }
}
