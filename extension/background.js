// Service worker entry point. Everything is wired in worker.js; calling it here,
// at the top level, registers every listener in the worker's first turn.
import { startWorker } from './worker.js';

startWorker(globalThis.chrome);
