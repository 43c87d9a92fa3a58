import ardivex.fingers.NFExtractor;
import ardivex.images.NImage;
import ardivex.matching.Candidate;
import ardivex.matching.FingerprintBase;
import ardivex.matching.GuidedEnrollment;
import ardivex.matching.NFMatcher;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.TreeMap;

/**
 * Enrollment from three touches against enrollment from one, on the public
 * sets: per set, every finger is enrolled (a) from impression 1 alone, (b)
 * by GuidedEnrollment from impressions 1 to 3 (its best template), (c) with
 * all three templates of (b); impressions 4 to 8 are identified against the
 * base of all the set's fingers, and a miss is the right finger not first
 * among the candidates at threshold(1e-3). Also counts how often the three
 * touches of one finger are refused as not of one finger.
 *
 * usage: EnrollEval <folder of the sets, e.g. ../shared/fingerprints/fvc>
 */
public final class EnrollEval {
    public static void main(String[] args) throws Exception {
        Path root = Path.of(args.length > 0 ? args[0] : "/work/shared/fingerprints/fvc");
        NFExtractor ex = new NFExtractor();
        int least = NFMatcher.threshold(1e-3);
        long[] total = new long[4]; // probes, misses a, b, c
        int fingersAll = 0;
        int refusedAll = 0;
        System.out.printf(Locale.ROOT, "%-16s %7s %6s %9s %9s %9s %8s%n", "set", "fingers", "probes", "miss 1",
                "miss 1-3", "miss 1-3*", "refused");
        try (var sets = Files.list(root)) {
            for (Path set : (Iterable<Path>) sets.sorted()::iterator) {
                if (!Files.isDirectory(set)) {
                    continue;
                }
                TreeMap<String, NImage[]> fingers = new TreeMap<>();
                try (var files = Files.list(set)) {
                    for (Path f : (Iterable<Path>) files::iterator) {
                        String n = f.getFileName().toString();
                        if (!n.matches("\\d+_\\d+\\.(png|tif|bmp)")) {
                            continue;
                        }
                        String[] p = n.substring(0, n.indexOf('.')).split("_");
                        int imp = Integer.parseInt(p[1]);
                        if (imp >= 1 && imp <= 8) {
                            fingers.computeIfAbsent(p[0], k -> new NImage[9])[imp] = NImage.readImage(f);
                        }
                    }
                }
                try (FingerprintBase one = FingerprintBase.inMemory();
                     FingerprintBase best = FingerprintBase.inMemory();
                     FingerprintBase all = FingerprintBase.inMemory()) {
                    int refused = 0;
                    for (var e : fingers.entrySet()) {
                        NImage[] im = e.getValue();
                        byte[] first = ex.extract(im[1]).getData();
                        enroll(one, e.getKey(), first);
                        try {
                            GuidedEnrollment.Result r = new GuidedEnrollment(ex).minQuality(0)
                                    .enroll(List.of(im[1], im[2], im[3]));
                            enroll(best, e.getKey(), r.template());
                            for (byte[] t : r.touches()) {
                                enroll(all, e.getKey(), t);
                            }
                        } catch (GuidedEnrollment.EnrollmentException refusal) {
                            refused++;
                            // What an application would enroll after a retake it cannot have here: impression 1.
                            enroll(best, e.getKey(), first);
                            enroll(all, e.getKey(), first);
                        }
                    }
                    long[] m = new long[4];
                    for (var e : fingers.entrySet()) {
                        for (int imp = 4; imp <= 8; imp++) {
                            if (e.getValue()[imp] == null) {
                                continue;
                            }
                            byte[] probe = ex.extract(e.getValue()[imp]).getData();
                            m[0]++;
                            m[1] += miss(one, probe, e.getKey(), least);
                            m[2] += miss(best, probe, e.getKey(), least);
                            m[3] += miss(all, probe, e.getKey(), least);
                        }
                    }
                    for (int i = 0; i < 4; i++) {
                        total[i] += m[i];
                    }
                    fingersAll += fingers.size();
                    refusedAll += refused;
                    System.out.printf(Locale.ROOT, "%-16s %7d %6d %8.1f%% %8.1f%% %8.1f%% %4d/%d%n",
                            set.getFileName(), fingers.size(), m[0], 100.0 * m[1] / m[0], 100.0 * m[2] / m[0],
                            100.0 * m[3] / m[0], refused, fingers.size());
                }
            }
        }
        System.out.printf(Locale.ROOT, "%-16s %7d %6d %8.1f%% %8.1f%% %8.1f%% %4d/%d%n", "pooled", fingersAll,
                total[0], 100.0 * total[1] / total[0], 100.0 * total[2] / total[0], 100.0 * total[3] / total[0],
                refusedAll, fingersAll);
        System.out.println("miss: the right finger not first among the candidates at threshold(1e-3) = " + least
                + "; 1: impression 1 enrolled; 1-3: GuidedEnrollment's template from impressions 1-3; 1-3*: all "
                + "three of its templates; refused: three touches not of one finger");
    }

    private static void enroll(FingerprintBase b, String code, byte[] t) {
        try {
            b.enroll(code, 1, t);
        } catch (Exception tooFewMinutiae) {
            // a template the base cannot hold: this finger cannot be found
        }
    }

    private static int miss(FingerprintBase b, byte[] probe, String code, int least) throws Exception {
        List<Candidate> c = new ArrayList<>(b.identify(probe, 5, least));
        return c.isEmpty() || !c.get(0).code().equals(code) ? 1 : 0;
    }
}
