/* main throws after args[0] milliseconds (default 0). */
public class ThrowFromMain {
    public static void main(String[] args) throws Exception {
        long delay = args.length > 0 ? Long.parseLong(args[0]) : 0;
        Thread.sleep(delay);
        throw new IllegalStateException("thrown from main on purpose");
    }
}
