package ardivex.templates;

/** A delta: position and its three angles. */
public class NFDelta {
    public int X;
    public int Y;
    public int Angle1;
    public int Angle2;
    public int Angle3;

    @Override
    public String toString() {
        return "NFDelta[X=" + X + ", Y=" + Y + ", Angle1=" + Angle1 + ", Angle2=" + Angle2 + ", Angle3=" + Angle3 + "]";
    }
}
