// The same departures question answered by the npm package "gtfs" (SQLite):
// import a feed, then time getStoptimes() for the stops within 500 m of a
// point, on the service date, from 30 s before "now" to 30 minutes after
// (tarvod's window). Prints JSON with the import time and per-query times.
//
//   node compare.mjs FEED.zip DB.sqlite LAT,LON YYYYMMDD HH:MM:SS [REPS]
import { importGtfs, openDb, closeDb, getStops, getStoptimes } from 'gtfs';
import { rmSync } from 'node:fs';
import { performance } from 'node:perf_hooks';

const [feed, dbPath, at, day, now, repsArg] = process.argv.slice(2);
const [lat, lon] = at.split(',').map(Number);
const reps = Number(repsArg ?? 500);

// Same distance as tarvod's Geo.cpp.
function haversine(lat1, lon1, lat2, lon2) {
  const r = 6371008.8;
  const rad = Math.PI / 180;
  const dLat = (lat2 - lat1) * rad;
  const dLon = (lon2 - lon1) * rad;
  const a = Math.sin(dLat / 2) ** 2 + Math.cos(lat1 * rad) * Math.cos(lat2 * rad) * Math.sin(dLon / 2) ** 2;
  return 2 * r * Math.asin(Math.min(1, Math.sqrt(a)));
}
function hms(s) {
  const p = (n) => String(n).padStart(2, '0');
  return `${p(Math.floor(s / 3600))}:${p(Math.floor(s / 60) % 60)}:${p(s % 60)}`;
}
function stats(ms) {
  const s = [...ms].sort((a, b) => a - b);
  return {
    n: s.length,
    median_us: s[Math.floor(s.length / 2)] * 1000,
    p99_us: s[Math.min(s.length - 1, Math.floor((s.length * 99) / 100))] * 1000,
    mean_us: (s.reduce((a, b) => a + b, 0) / s.length) * 1000,
  };
}

rmSync(dbPath, { force: true });
const config = { sqlitePath: dbPath, agencies: [{ path: feed }], verbose: false };
const t0 = performance.now();
await importGtfs(config);
const importSeconds = (performance.now() - t0) / 1000;

const db = openDb(config);
const stopIds = getStops({}, ['stop_id', 'stop_lat', 'stop_lon'], [], { db })
  .filter((s) => haversine(lat, lon, s.stop_lat, s.stop_lon) <= 500)
  .map((s) => s.stop_id);
const [h, m, sec] = now.split(':').map(Number);
const nowS = h * 3600 + m * 60 + sec;
const query = { stop_id: stopIds, date: Number(day), start_time: hms(nowS - 30), end_time: hms(nowS + 30 * 60) };
const ask = () => getStoptimes(query, [], [['departure_timestamp', 'ASC']], { db });

const rows = ask().length;
for (let i = 0; i < 20; ++i) ask();
const times = [];
for (let i = 0; i < reps; ++i) {
  const s = performance.now();
  ask();
  times.push(performance.now() - s);
}
closeDb(db);
console.log(JSON.stringify({
  feed, importSeconds, stops: stopIds.length, window: [query.start_time, query.end_time], date: query.date,
  rows, getStoptimes: stats(times), maxRssMiB: process.resourceUsage().maxRSS / 1024,
}, null, 1));
