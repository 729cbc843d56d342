'use strict';

// Pacing for scripts over the native player: `push` resolves once the sender
// took a picture, 'taken' counts pictures as they are taken, 'sensors' comes
// after each complete sweep of sensor records, and `play` shows a source of
// timed pictures at its own pace, or the relay's when that is slower. The
// native worker tells the script thread when a count moved; nothing polls.
//
// `withPacing(Base, errors)` adds these to a promise Player class derived
// from the native one whose instances are event emitters; `errors` gives the
// promise API's LcError, abortError and onAbort, so failures look alike.

const { openSource } = require('./content');

// Resolves after `ms`, or rejects at once when `signal` fires.
let LcError = Error;
let aborted = () => new LcError('aborted', 'ERR_LC_ABORTED');
const ended = () => new LcError('the playback has ended', 'ERR_LC_ENDED');
const notPlaying = () => new LcError('the player is not playing: start it first', 'ERR_LC_ENDED');

function sleep(ms, signal) {
  if (signal && signal.aborted) return Promise.reject(aborted());
  if (!(ms > 0)) return Promise.resolve();
  return new Promise((resolve, reject) => {
    const onAbort = () => {
      clearTimeout(timer);
      reject(aborted());
    };
    const timer = setTimeout(() => {
      if (signal) signal.removeEventListener('abort', onAbort);
      resolve();
    }, ms);
    if (signal) signal.addEventListener('abort', onAbort, { once: true });
  });
}

function withPacing(Base, errors) {
  ({ LcError } = errors);
  aborted = errors.abortError;
  const { onAbort } = errors;
  return class Player extends Base {
    /**
     * Sets a playback up and starts it; resolves when it has ended (stop,
     * the link's end, or 2 s without a status frame), rejects with
     * ERR_LC_ABORTED when `signal` fired and stopped it. `options.gamma` (one
     * exponent or three) and `options.gains` (three factors) correct the
     * colours sent. Given a callback where the options go, it is the native
     * method.
     */
    start(angle, topology, mode, sensors, options = {}, nativeOptions) {
      if (typeof options === 'function') {
        return nativeOptions === undefined
          ? super.start(angle, topology, mode, sensors, options)
          : super.start(angle, topology, mode, sensors, options, nativeOptions);
      }
      const { gamma, gains, signal } = options;
      if (signal && signal.aborted) return Promise.reject(aborted());
      const run = { taken: 0, sweeps: 0, waiters: [], done: false, screen: null, angle, topology, mode };
      let release = () => {};
      let stopped = false;
      const finished = new Promise((resolve, reject) => {
        const native = { onProgress: (taken, sweeps) => this._progress(run, taken, sweeps) };
        if (gamma !== undefined) native.gamma = gamma;
        if (gains !== undefined) native.gains = gains;
        try {
          super.start(angle, topology, mode, sensors, () => {
            run.done = true;
            release();
            for (const w of run.waiters) w.reject(ended());
            run.waiters = [];
            this.emit('end');
            if (stopped) reject(aborted());
            else resolve();
          }, native);
        } catch (err) {
          run.done = true;
          reject(err);
        }
      });
      // A refused start leaves the previous playback's state as it was.
      if (!run.done) {
        this._run = run;
        this._finished = finished.catch(() => {});
        release = onAbort(signal, () => {
          stopped = true;
          super.stop();
        });
      }
      return finished;
    }

    /** Resolves when the current playback has ended (at once when none runs). */
    get ended() {
      return this._finished || Promise.resolve();
    }

    /** Ends the playback; resolves once it has ended. */
    stop() {
      super.stop();
      return this.ended;
    }

    /** The screen of the current playback: { width, height, rows, columns, frames }. */
    get screen() {
      const run = this._run;
      if (!run || run.done) return null;
      if (!run.screen) run.screen = this.getScreen(run.angle, run.topology, run.mode);
      return run.screen;
    }

    /**
     * Hands a picture to the sender; resolves with its number once the
     * sender took it (it now goes out whole), rejects when the playback ends
     * first. A picture overwritten by a later one before it was taken
     * resolves when that later one is taken. `crop` ({ x, y, stride }) hands
     * over the screen's rectangle of a larger picture (see addImage).
     */
    push(image, format, { signal, crop } = {}) {
      const run = this._run;
      if (!run || run.done) return Promise.reject(notPlaying());
      if (signal && signal.aborted) return Promise.reject(aborted());
      let number;
      try {
        if (crop !== undefined) number = this.addImage(image, format, crop);
        else number = format === undefined ? this.addImage(image) : this.addImage(image, format);
      } catch (err) {
        return Promise.reject(err);
      }
      if (!number) return Promise.reject(notPlaying());
      if (run.taken >= number) return Promise.resolve(number);
      return new Promise((resolve, reject) => {
        const waiter = { number, resolve, reject };
        if (signal) {
          const onAbort = () => {
            run.waiters = run.waiters.filter((w) => w !== waiter);
            reject(aborted());
          };
          signal.addEventListener('abort', onAbort, { once: true });
          waiter.resolve = (n) => {
            signal.removeEventListener('abort', onAbort);
            resolve(n);
          };
        }
        run.waiters.push(waiter);
      });
    }

    /**
     * Shows a source of pictures on the running playback: a file path (a
     * video, an animation or a still picture), or an iterable or async
     * iterable of `{ image, duration }` (milliseconds; `at`, milliseconds
     * from the source's start, may stand in for it). Each picture is shown
     * for its duration, at the source's pace or the relay's, whichever is
     * slower. Resolves with { shown, dropped } once the source ended (never
     * with `loop`, until `signal` fires; an abort then resolves too).
     * `fit` is "contain", "cover" or "stretch"; `fps` caps the pictures per
     * second; `seconds` is a still picture's duration; `onPicture(item)` runs
     * as each picture is taken.
     */
    async play(source, { fit = 'contain', loop = false, signal, fps, seconds = 5, onPicture } = {}) {
      if (!this._run || this._run.done) throw notPlaying();
      const stats = { shown: 0, dropped: 0 };
      const gap = fps > 0 ? 1000 / fps : 0;
      for (let round = 0; ; round++) {
        let items;
        if (typeof source === 'string') {
          const { width, height } = this.screen;
          items = openSource(source, { width, height, fit, seconds, signal }).items;
        } else {
          items = source;
        }
        const before = stats.shown + stats.dropped;
        try {
          await this._playItems(items, { signal, gap, stats, onPicture });
        } catch (err) {
          if (err.code === 'ERR_LC_ABORTED') return stats;
          throw err;
        }
        // A one-shot iterator has nothing more to give: no busy loop over it.
        if (!loop || stats.shown + stats.dropped === before) return stats;
      }
    }

    async _playItems(items, { signal, gap, stats, onPicture }) {
      let start = null;
      let cursor = 0; // where the next picture without `at` begins
      let lag = 0; // how far a slow relay pushed the source back
      let lastPush = -Infinity;
      let last = null;
      for await (const item of items) {
        if (signal && signal.aborted) throw aborted();
        if (start === null) cursor = start = performance.now();
        const duration = Number(item.duration) > 0 ? Number(item.duration) : 0;
        const base = item.at !== undefined ? start + Number(item.at) : cursor;
        cursor = base + duration;
        const due = base + lag;
        // Under the cap, a picture whose whole time falls before the next
        // allowed push is left out; a later one stands for it.
        if (gap && duration > 0 && due + duration <= lastPush + gap) {
          stats.dropped++;
          continue;
        }
        await sleep(Math.max(due, lastPush + gap) - performance.now(), signal);
        lastPush = performance.now();
        await this.push(item.image, item.format, { signal });
        const taken = performance.now();
        stats.shown++;
        if (onPicture) onPicture(item, stats);
        // A relay slower than the source: the rest of it shifts back rather
        // than rushing to catch up.
        if (taken > due + duration) lag += taken - (due + duration);
        last = { item, due };
      }
      // The last picture keeps its time before the next round or the end; a
      // source may learn that time only once it ended.
      if (last) await sleep(last.due + (Number(last.item.duration) || 0) - performance.now(), signal);
    }

    // Script thread, from the native worker: counts moved.
    _progress(run, taken, sweeps) {
      if (taken > run.taken) {
        run.taken = taken;
        if (run.waiters.length) {
          const still = [];
          for (const w of run.waiters) (w.number <= taken ? w.resolve(w.number) : still.push(w));
          run.waiters = still;
        }
        this.emit('taken', taken);
      }
      if (sweeps > run.sweeps) {
        run.sweeps = sweeps;
        if (this.listenerCount('sensors') > 0) {
          const screen = this.screen;
          const values = new Uint16Array(screen ? screen.rows * screen.columns : 0);
          this.getSensors(values);
          this.emit('sensors', { values, rows: screen ? screen.rows : 0, columns: screen ? screen.columns : 0, sweep: sweeps });
        }
      }
    }
  };
}

module.exports = { withPacing, sleep };
