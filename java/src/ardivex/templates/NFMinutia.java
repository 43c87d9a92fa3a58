package ardivex.templates;

/** A minutia: position (0 to 2047), angle and optional bytes (255 when the template lacks them). */
public class NFMinutia {
    public int X;
    public int Y;
    public int Angle;
    public int Quality;
    public int Curvature;
    public int G;
    private int type;

    /** Set by the native reader with the template's type code (0 to 3). */
    public void setType(int type) {
        this.type = type;
    }

    public int getTypeCode() {
        return type;
    }

    public NFMinutiaType getType() {
        return NFMinutiaType.fromCode(type);
    }

    @Override
    public String toString() {
        return "NFMinutia[X=" + X + ", Y=" + Y + ", type=" + getType() + ", Angle=" + Angle + ", Quality=" + Quality
                + ", Curvature=" + Curvature + ", G=" + G + "]";
    }
}
