package ardivex.scanners;

/** Run in a second JVM: tries to capture from reader 0 and prints the outcome. */
public final class ClaimProbe {
    private ClaimProbe() {
    }

    public static void main(String[] args) {
        Scanner s = ScannerMan.getScanner(0);
        String result;
        try {
            s.startCapturing();
            result = "ok";
            s.stopCapturing();
        } catch (ScanManException e) {
            result = e.getMessage();
        }
        ScannerMan.uninitialize();
        System.out.println("PROBE:" + result.replace("\n", "|"));
        System.exit(0);
    }
}
