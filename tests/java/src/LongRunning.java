import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

/*
 * A long-running application steered through files in its control directory
 * (the first program argument, else the current directory):
 *   out / err   their text is printed to System.out / System.err, then deleted
 *   exit        System.exit with the number it holds, then deleted
 *   stop        main returns (the file is deleted)
 * At start it writes "started" (one line per argument, then "user.dir=...").
 * Its shutdown hook appends "hook" to the file "hook".
 * Static methods for the service's start-up and shutdown hooks:
 *   starting()        true for the first N calls (N: -DstartupTrueCount=N, default 0), logs each call
 *   startingForever() always true
 *   startupThrows()   throws
 *   stopNow()         logs "shutdown" and makes main return
 *   shutdownThrows()  throws
 *   shutdownHangs()   never returns
 */
public class LongRunning {
    static volatile boolean stopRequested;
    static int startingCalls;

    static Path controlDirectory(String[] args) {
        return Paths.get(args.length > 0 ? args[0] : System.getProperty("user.dir"));
    }

    static void append(Path file, String text) {
        try {
            Files.write(file, text.getBytes(StandardCharsets.UTF_8), StandardOpenOption.CREATE,
                        StandardOpenOption.APPEND);
        } catch (IOException e) {
            e.printStackTrace();
        }
    }

    static Path directory = Paths.get(System.getProperty("user.dir"));

    /* The file's text, deleted; null when it does not exist. */
    static String take(String name) throws IOException {
        Path file = directory.resolve(name);
        if (!Files.exists(file)) return null;
        String text = new String(Files.readAllBytes(file), StandardCharsets.UTF_8);
        Files.delete(file);
        return text;
    }

    public static void main(String[] args) throws Exception {
        directory = controlDirectory(args);
        Runtime.getRuntime().addShutdownHook(new Thread(() -> append(directory.resolve("hook"), "hook\n")));
        StringBuilder started = new StringBuilder();
        for (String arg : args) started.append(arg).append('\n');
        started.append("user.dir=").append(System.getProperty("user.dir")).append('\n');
        append(directory.resolve("started.tmp"), started.toString());
        Files.move(directory.resolve("started.tmp"), directory.resolve("started"));
        serve();
    }

    static void serve() throws Exception {
        while (!stopRequested) {
            String text = take("out");
            if (text != null) {
                System.out.print(text);
                System.out.flush();
            }
            text = take("err");
            if (text != null) {
                System.err.print(text);
                System.err.flush();
            }
            text = take("exit");
            if (text != null) System.exit(Integer.parseInt(text.trim()));
            if (take("stop") != null) break;
            Thread.sleep(50);
        }
        append(directory.resolve("main-returned"), "main returned\n");
    }

    public static boolean starting() {
        startingCalls++;
        append(directory.resolve("starting-calls"), System.currentTimeMillis() + "\n");
        return startingCalls <= Integer.getInteger("startupTrueCount", 0);
    }

    public static boolean startingForever() {
        return true;
    }

    public static boolean startupThrows() {
        throw new IllegalStateException("startup failed on purpose");
    }

    public static void stopNow() {
        append(directory.resolve("shutdown"), "stopNow\n");
        stopRequested = true;
    }

    public static void shutdownThrows() {
        append(directory.resolve("shutdown"), "shutdownThrows\n");
        throw new IllegalStateException("shutdown failed on purpose");
    }

    public static void shutdownHangs() throws InterruptedException {
        append(directory.resolve("shutdown"), "shutdownHangs\n");
        Thread.sleep(Long.MAX_VALUE);
    }
}
