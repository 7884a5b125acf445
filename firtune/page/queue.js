// The design request queue: at most one request in flight; while it is,
// only the latest edit waits and any older waiting edit is dropped. No DOM
// here: the caller sends what these functions hand back.

export function makeQueue()
{
	return { inFlight: null, waiting: null, dropped: 0 };
}

// A new edit. Returns the edit to send now, or null when it waits.
export function submit(q, edit)
{
	if (q.inFlight === null) {
		q.inFlight = edit;
		return edit;
	}
	if (q.waiting !== null)
		q.dropped++;
	q.waiting = edit;
	return null;
}

// The request in flight has been answered (or has failed). Returns the
// waiting edit to send now, or null when nothing waits.
export function settle(q)
{
	q.inFlight = q.waiting;
	q.waiting = null;
	return q.inFlight;
}
