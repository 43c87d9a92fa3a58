package ardivex.matching;

import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;

/** NFRecord templates made from placed minutiae, for the tests. */
final class Templates {
    private Templates() {
    }

    /** Minutiae as {x, y, type, angle}, picture coordinates. */
    static List<int[]> finger(long seed) {
        Random r = new Random(seed);
        int count = 35 + r.nextInt(30);
        List<int[]> out = new ArrayList<>();
        int tries = 0;
        while (out.size() < count && ++tries < 10000) {
            int x = 40 + r.nextInt(300);
            int y = 40 + r.nextInt(300);
            boolean close = false;
            for (int[] m : out) {
                close |= Math.hypot(m[0] - x, m[1] - y) < 12;
            }
            if (!close) {
                out.add(new int[] {x, y, 1 + r.nextInt(2), r.nextInt(256)});
            }
        }
        return out;
    }

    /** The minutiae turned by `degrees` about (190, 190) and moved. */
    static List<int[]> moved(List<int[]> m, double degrees, int dx, int dy) {
        double a = Math.toRadians(degrees);
        List<int[]> out = new ArrayList<>();
        for (int[] p : m) {
            double ux = p[0] - 190;
            double uy = -(p[1] - 190);
            int x = (int) Math.round(190 + Math.cos(a) * ux - Math.sin(a) * uy + dx);
            int y = (int) Math.round(190 - (Math.sin(a) * ux + Math.cos(a) * uy) + dy);
            int angle = (p[3] + (int) Math.round(degrees * 256 / 360)) & 255;
            out.add(new int[] {x, y, p[2], angle});
        }
        return out;
    }

    static byte[] record(List<int[]> m) {
        ByteArrayOutputStream b = new ByteArrayOutputStream();
        b.writeBytes(new byte[24]);
        b.write(m.size());
        b.write(4);
        for (int[] p : m) {
            int w = p[0] << 21 | p[1] << 10 | p[2] << 8 | p[3];
            for (int k = 0; k < 4; k++) {
                b.write(w >>> (8 * k));
            }
        }
        b.writeBytes(new byte[9]);
        return b.toByteArray();
    }

    static byte[] record(long seed) {
        return record(finger(seed));
    }
}
