// The parts of seisplotjs the page draws with, taken from the package's own
// TypeScript sources (esbuild compiles them). Its prebuilt single file hangs
// every module off namespace objects, which keeps all of it (maps, archives,
// signal processing) in the bundle: 1.7 MB against about 0.35 MB this way.
export { SeedlinkConnection } from "../node_modules/seisplotjs/src/seedlink4.ts";
export { createSeismogramSegment } from "../node_modules/seisplotjs/src/miniseed.ts";
export { Seismogram, SeismogramDisplayData } from "../node_modules/seisplotjs/src/seismogram.ts";
export { SeismogramSegment } from "../node_modules/seisplotjs/src/seismogramsegment.ts";
export { Seismograph } from "../node_modules/seisplotjs/src/seismograph.ts";
export { SeismographConfig } from "../node_modules/seisplotjs/src/seismographconfig.ts";
export { AMPLITUDE_MODE } from "../node_modules/seisplotjs/src/scale.ts";
export { FDSNSourceId } from "../node_modules/seisplotjs/src/fdsnsourceid.ts";
export { DateTime, Duration, Interval } from "luxon";
