-- wrk script: the desktop client's departures request (POST /v2/nearby/).
-- BENCH_AT=lat,lon chooses the point.
local at = os.getenv("BENCH_AT") or "47.2051,19.3608"
local lat, lon = at:match("([^,]+),([^,]+)")

wrk.method = "POST"
wrk.path = "/v2/nearby/"
wrk.headers["Content-Type"] = "application/json"
wrk.headers["X-APP"] = "velmomac"
wrk.headers["X-APPVERSION"] = "1.0.0"
wrk.headers["X-APPBUILD"] = "100"
wrk.headers["X-APILEVEL"] = "2"
wrk.headers["X-DEVICE"] = "x86_64"
wrk.headers["X-DEVICEOS"] = "MAC"
wrk.headers["X-DEVICEVERSION"] = "10.0"
wrk.headers["X-UUID"] = "2f1c7a3e-5b1d-4c8e-9a41-0000000bench"
wrk.body = string.format(
  '{"method":"TRIPSFORLOCATION","lat":%s,"lon":%s,"fetchRadius":1500,"realRadius":500,' ..
  '"favRoutes":[],"favStops":[],"favSortMode":2,"minutes":30}', lat, lon)
