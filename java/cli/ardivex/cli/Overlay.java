package ardivex.cli;

import ardivex.images.ImageQuality;
import ardivex.images.NImage;
import ardivex.templates.NFCore;
import ardivex.templates.NFDelta;
import ardivex.templates.NFDoubleCore;
import ardivex.templates.NFMinutia;
import ardivex.templates.NFMinutiaType;
import ardivex.templates.NFRecord;
import java.awt.BasicStroke;
import java.awt.Color;
import java.awt.Graphics2D;
import java.awt.RenderingHints;
import java.awt.image.BufferedImage;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import javax.imageio.ImageIO;

/**
 * Draws a template's items over its grey image, at twice the image's size, in
 * the colours of the engine's own drawing tool: ridge endings red circles,
 * bifurcations blue squares, each with a line along its direction; cores green
 * circles with their direction, deltas magenta squares with their three
 * directions, double cores large yellow circles; the image quality score
 * and its first piece of advice at the top.
 */
public final class Overlay {
    private static final Color ENDING = new Color(230, 30, 30);
    private static final Color BIFURCATION = new Color(40, 90, 255);
    private static final Color CORE = new Color(0, 190, 0);
    private static final Color DELTA = new Color(220, 0, 220);
    private static final Color DOUBLE_CORE = new Color(240, 210, 0);
    private static final int SCALE = 2;

    private Overlay() {
    }

    /**
     * Writes the picture as a PNG file.
     *
     * @param image the grey image the template was extracted from
     * @param record its template
     * @param png the file to write (replaced if it exists)
     * @throws IOException when the file cannot be written
     * @throws Exception when the native template reader fails
     */
    public static void draw(NImage image, NFRecord record, Path png) throws Exception {
        Files.write(png, png(image, record));
    }

    /**
     * The picture as the bytes of a PNG file.
     *
     * @param image the grey image the template was extracted from
     * @param record its template
     * @return the PNG file's bytes
     * @throws IOException when this Java runtime has no PNG writer
     * @throws Exception when the native template reader fails
     */
    public static byte[] png(NImage image, NFRecord record) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        if (!ImageIO.write(render(image, record), "png", out)) {
            throw new IOException("no PNG writer in this Java runtime");
        }
        return out.toByteArray();
    }

    /**
     * The picture, in memory.
     *
     * @param image the grey image the template was extracted from
     * @param record its template
     * @return an RGB picture twice the image's size
     * @throws Exception when the native template reader fails
     */
    public static BufferedImage render(NImage image, NFRecord record) throws Exception {
        int w = image.getWidth();
        int h = image.getHeight();
        BufferedImage picture = new BufferedImage(w * SCALE, h * SCALE, BufferedImage.TYPE_INT_RGB);
        for (int y = 0; y < h * SCALE; y++) {
            for (int x = 0; x < w * SCALE; x++) {
                int g = image.getPixel(x / SCALE, y / SCALE);
                picture.setRGB(x, y, g << 16 | g << 8 | g);
            }
        }
        Graphics2D g = picture.createGraphics();
        g.setRenderingHint(RenderingHints.KEY_ANTIALIASING, RenderingHints.VALUE_ANTIALIAS_ON);
        g.setStroke(new BasicStroke(1.5f));
        for (NFMinutia m : record.getMinutiae()) {
            boolean bifurcation = m.getType() == NFMinutiaType.BIFURCATION;
            g.setColor(bifurcation ? BIFURCATION : ENDING);
            mark(g, m.X, m.Y, 4, bifurcation);
            direction(g, m.X, m.Y, m.Angle, 14);
        }
        for (NFCore c : record.getCores()) {
            g.setColor(CORE);
            mark(g, c.X, c.Y, 7, false);
            direction(g, c.X, c.Y, c.Angle, 20);
        }
        for (NFDelta d : record.getDeltas()) {
            g.setColor(DELTA);
            mark(g, d.X, d.Y, 7, true);
            direction(g, d.X, d.Y, d.Angle1, 16);
            direction(g, d.X, d.Y, d.Angle2, 16);
            direction(g, d.X, d.Y, d.Angle3, 16);
        }
        for (NFDoubleCore d : record.getDoubleCores()) {
            g.setColor(DOUBLE_CORE);
            mark(g, d.X, d.Y, 10, false);
        }
        if (record.getData().length > 16 && (record.getData()[16] & 0xFF) <= 100) {
            quality(g, record.getImageQuality(), w * SCALE);
        }
        g.dispose();
        return picture;
    }

    /**
     * The quality score at the top left, on a bar whose length is the score
     * (red to green), and the first piece of advice under it.
     */
    private static void quality(Graphics2D g, ImageQuality q, int width) {
        int bar = Math.max(1, (width - 16) * q.score() / 100);
        float hue = q.score() / 100f / 3f;  // red at 0, green at 100
        g.setColor(new Color(255, 255, 255));
        g.fillRect(4, 4, width - 8, q.hints().isEmpty() ? 24 : 42);
        g.setColor(Color.getHSBColor(hue, 0.9f, 0.85f));
        g.fillRect(8, 8, bar, 16);
        g.setColor(Color.BLACK);
        g.drawString("quality " + q.score(), 12, 21);
        if (!q.hints().isEmpty()) {
            g.drawString(q.hints().get(0).message(), 12, 40);
        }
    }

    /** A circle (or a square) of radius r image pixels around (x, y). */
    private static void mark(Graphics2D g, int x, int y, int r, boolean square) {
        int cx = x * SCALE + SCALE / 2;
        int cy = y * SCALE + SCALE / 2;
        int s = r * SCALE;
        if (square) {
            g.drawRect(cx - s / 2, cy - s / 2, s, s);
        } else {
            g.drawOval(cx - s / 2, cy - s / 2, s, s);
        }
    }

    /**
     * A line of {@code length} image pixels from (x, y) along an angle of 256
     * steps per circle, counter-clockwise from +X as the picture is seen
     * (rows grow downwards, hence the minus).
     */
    private static void direction(Graphics2D g, int x, int y, int angle, int length) {
        double a = (angle & 0xFF) * 2 * Math.PI / 256;
        double cx = x * SCALE + SCALE / 2.0;
        double cy = y * SCALE + SCALE / 2.0;
        double l = length * SCALE;
        g.drawLine((int) Math.round(cx), (int) Math.round(cy), (int) Math.round(cx + l * Math.cos(a)),
                (int) Math.round(cy - l * Math.sin(a)));
    }
}
