package ardivex.matching;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.List;

/**
 * Run in a child JVM: opens the server base given (URL, user, password) and
 * answers one line per command read from standard input:
 *
 * <pre>
 * enroll SEED          enrolled ID
 * await SEED ID        seen | missing     (polls identify until ID comes first, at most 5 s)
 * remove ID            removed true|false
 * refresh-gone SEED ID gone | present     (refresh, then identify)
 * enroll-forever FROM  enrolled ID SEED, once per enroll, until killed
 * quit
 * </pre>
 */
public final class BaseChild {
    private BaseChild() {
    }

    public static void main(String[] args) throws Exception {
        try (FingerprintBase base = FingerprintBase.open(args[0], args[1], args[2]);
                BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8))) {
            say("open " + base.count());
            String line;
            while ((line = in.readLine()) != null) {
                String[] w = line.split(" ");
                switch (w[0]) {
                    case "enroll":
                        say("enrolled " + base.enroll("child-" + w[1], 1, Templates.record(Long.parseLong(w[1]))));
                        break;
                    case "await": {
                        long deadline = System.nanoTime() + 5_000_000_000L;
                        boolean seen = false;
                        while (!seen && System.nanoTime() < deadline) {
                            seen = firstIs(base.identify(Templates.record(Long.parseLong(w[1])), 1),
                                    Long.parseLong(w[2]));
                            if (!seen) {
                                Thread.sleep(20);
                            }
                        }
                        say(seen ? "seen" : "missing");
                        break;
                    }
                    case "remove":
                        say("removed " + base.remove(Long.parseLong(w[1])));
                        break;
                    case "refresh-gone":
                        base.refresh();
                        say(firstIs(base.identify(Templates.record(Long.parseLong(w[1])), 1), Long.parseLong(w[2]))
                                ? "present" : "gone");
                        break;
                    case "enroll-forever":
                        for (long seed = Long.parseLong(w[1]);; seed++) {
                            say("enrolled " + base.enroll("child-" + seed, 1, Templates.record(seed)) + " " + seed);
                        }
                    case "quit":
                        return;
                    default:
                        say("unknown " + line);
                }
            }
        }
    }

    private static boolean firstIs(List<Candidate> found, long id) {
        return !found.isEmpty() && found.get(0).id() == id;
    }

    private static void say(String s) {
        System.out.println(s);
        System.out.flush();
    }
}
