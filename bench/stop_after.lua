-- Ends each wrk thread after PV_REQUESTS_PER_THREAD answers, so a run
-- makes a known number of requests.
local limit = tonumber(os.getenv("PV_REQUESTS_PER_THREAD") or "25000")
local done = 0

function response(status, headers, body)
  done = done + 1
  if done >= limit then
    wrk.thread:stop()
  end
end
