package ardivex.templates;

/** A core: position and angle. */
public class NFCore {
    public int X;
    public int Y;
    public int Angle;

    @Override
    public String toString() {
        return "NFCore[X=" + X + ", Y=" + Y + ", Angle=" + Angle + "]";
    }
}
