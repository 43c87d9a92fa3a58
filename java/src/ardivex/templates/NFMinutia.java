package ardivex.templates;

/**
 * A minutia: position (0 to 2047), angle and optional bytes (255 when the
 * template lacks them).
 *
 * <p>A plain value with public fields, filled by {@link NFRecord#getMinutiae()}:
 * not safe for use by several threads while one of them changes it; share it
 * only once no thread writes to it any more.
 */
public class NFMinutia {
    /** Column, in pixels (0 to 2047). */
    public int X;
    /** Row, in pixels from the top (0 to 2047). */
    public int Y;
    /** Direction, 256 steps per circle counter-clockwise from +X. */
    public int Angle;
    /** Quality, 0 to 100; 255 when the template has no quality bytes. */
    public int Quality;
    /** Ridge curvature; 255 when the template does not carry it. */
    public int Curvature;
    /** Ridge period ("G"); 255 when the template does not carry it. */
    public int G;
    private int type;

    /** A minutia at (0, 0); {@link NFRecord#getMinutiae()} fills its fields. */
    public NFMinutia() {
    }

    // Called by name by the native template reader with the template's 2-bit
    // type code (0 to 3).
    private void setType(int type) {
        this.type = type;
    }

    /**
     * The type code as the template holds it.
     *
     * @return 0 to 3
     */
    public int getTypeCode() {
        return type;
    }

    /**
     * The type.
     *
     * @return the type of {@link #getTypeCode()}
     */
    public NFMinutiaType getType() {
        return NFMinutiaType.fromCode(type);
    }

    @Override
    public String toString() {
        return "NFMinutia[X=" + X + ", Y=" + Y + ", type=" + getType() + ", Angle=" + Angle + ", Quality=" + Quality
                + ", Curvature=" + Curvature + ", G=" + G + "]";
    }
}
