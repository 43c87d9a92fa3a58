package ardivex.cli;

import ardivex.images.ImageQuality;
import ardivex.templates.NFCore;
import ardivex.templates.NFDelta;
import ardivex.templates.NFDoubleCore;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFMinutiaType;
import ardivex.templates.NFRecord;
import java.io.PrintWriter;
import java.util.List;
import java.util.Locale;

/** A template's items as text. */
public final class TemplateText {
    private TemplateText() {
    }

    /**
     * One line of counts, for example "42 minutiae (30 ridge endings, 12 bifurcations), 1 core, 1 delta,
     * 0 double cores".
     *
     * @param record the template
     * @return the line
     * @throws Exception when the native reader fails
     */
    public static String counts(NFRecord record) throws Exception {
        List<NFMinutia> minutiae = record.getMinutiae();
        int bifurcations = 0;
        for (NFMinutia m : minutiae) {
            if (m.getType() == NFMinutiaType.BIFURCATION) {
                bifurcations++;
            }
        }
        return plural(minutiae.size(), "minutia", "minutiae") + " (" + plural(minutiae.size() - bifurcations,
                "ridge ending", "ridge endings") + ", " + plural(bifurcations, "bifurcation", "bifurcations") + "), "
                + plural(record.getCores().size(), "core", "cores") + ", "
                + plural(record.getDeltas().size(), "delta", "deltas") + ", "
                + plural(record.getDoubleCores().size(), "double core", "double cores");
    }

    /**
     * The picture's quality and the advice on it, for example "image quality 42 of 100: Press a little
     * harder; Place your finger in the middle of the reader".
     *
     * @param record the template
     * @return the line
     * @throws IllegalStateException when the template holds no quality score
     */
    public static String quality(NFRecord record) {
        ImageQuality q = record.getImageQuality();
        StringBuilder line = new StringBuilder("image quality " + q.score() + " of 100");
        String sep = ": ";
        for (ImageQuality.Hint h : q.hints()) {
            line.append(sep).append(h.message());
            sep = "; ";
        }
        return line.toString();
    }

    /**
     * Writes every item, kind by kind, as tables.
     *
     * @param record the template
     * @param out where to write
     * @return the number of items of all kinds
     * @throws Exception when the native reader fails
     */
    public static int write(NFRecord record, PrintWriter out) throws Exception {
        List<NFMinutia> minutiae = record.getMinutiae();
        List<NFCore> cores = record.getCores();
        List<NFDelta> deltas = record.getDeltas();
        List<NFDoubleCore> doubles = record.getDoubleCores();
        out.println(counts(record));
        if (!minutiae.isEmpty()) {
            out.println();
            out.println("Minutiae:");
            out.println(String.format(Locale.ROOT, "  %4s %5s %5s  %-12s %-16s %7s %9s %4s", "#", "X", "Y", "type",
                    "angle", "quality", "curvature", "G"));
            int n = 0;
            for (NFMinutia m : minutiae) {
                out.println(String.format(Locale.ROOT, "  %4d %5d %5d  %-12s %-16s %7d %9d %4d", ++n, m.X, m.Y,
                        type(m.getType()), angle(m.Angle), m.Quality, m.Curvature, m.G));
            }
        }
        if (!cores.isEmpty()) {
            out.println();
            out.println("Cores:");
            out.println(String.format(Locale.ROOT, "  %4s %5s %5s  %-16s", "#", "X", "Y", "angle"));
            int n = 0;
            for (NFCore c : cores) {
                out.println(String.format(Locale.ROOT, "  %4d %5d %5d  %-16s", ++n, c.X, c.Y, angle(c.Angle)));
            }
        }
        if (!deltas.isEmpty()) {
            out.println();
            out.println("Deltas:");
            out.println(String.format(Locale.ROOT, "  %4s %5s %5s  %-16s %-16s %-16s", "#", "X", "Y", "angle 1",
                    "angle 2", "angle 3"));
            int n = 0;
            for (NFDelta d : deltas) {
                out.println(String.format(Locale.ROOT, "  %4d %5d %5d  %-16s %-16s %-16s", ++n, d.X, d.Y,
                        angle(d.Angle1), angle(d.Angle2), angle(d.Angle3)));
            }
        }
        if (!doubles.isEmpty()) {
            out.println();
            out.println("Double cores:");
            out.println(String.format(Locale.ROOT, "  %4s %5s %5s", "#", "X", "Y"));
            int n = 0;
            for (NFDoubleCore d : doubles) {
                out.println(String.format(Locale.ROOT, "  %4d %5d %5d", ++n, d.X, d.Y));
            }
        }
        return minutiae.size() + cores.size() + deltas.size() + doubles.size();
    }

    /** An angle of 256 steps per circle, with its degrees: "64 (90.0 deg)". */
    static String angle(int steps) {
        return String.format(Locale.ROOT, "%d (%.1f deg)", steps, (steps & 0xFF) * 360.0 / 256);
    }

    private static String type(NFMinutiaType t) {
        switch (t) {
            case RIDGE_ENDING:
                return "ridge ending";
            case BIFURCATION:
                return "bifurcation";
            default:
                return t.name().toLowerCase(Locale.ROOT);
        }
    }

    private static String plural(int n, String one, String many) {
        return n + " " + (n == 1 ? one : many);
    }
}
