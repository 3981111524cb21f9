/*
 * Like LongRunning, but main only starts a non-daemon thread that does the
 * work and returns at once. Arguments and control files as LongRunning;
 * stopNow() ends the worker.
 */
public class BackgroundWorker {
    public static void main(String[] args) throws Exception {
        LongRunning.directory = LongRunning.controlDirectory(args);
        LongRunning.append(LongRunning.directory.resolve("started"), "background\n");
        Thread worker = new Thread(() -> {
            try {
                LongRunning.serve();
            } catch (Exception e) {
                e.printStackTrace();
            }
        }, "worker");
        worker.start();
    }

    public static void stopNow() {
        LongRunning.stopNow();
    }
}
