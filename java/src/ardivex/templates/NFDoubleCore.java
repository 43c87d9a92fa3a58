package ardivex.templates;

/** A double core: position only. */
public class NFDoubleCore {
    public int X;
    public int Y;

    @Override
    public String toString() {
        return "NFDoubleCore[X=" + X + ", Y=" + Y + "]";
    }
}
