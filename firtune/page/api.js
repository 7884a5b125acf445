// Requests to firtune's API with the run's token. Every answer comes back
// as { status, body } (body parsed JSON, or null); a server that does not
// answer gives status 0 and an error text.

// Design requests: in flight now, most at once, sent, and the round trip
// of the latest ones in ms.
export const stats = { inFlight: 0, maxInFlight: 0, requests: 0, roundTrips: [] };

// Appends to a list that keeps its latest 1000 values.
export function keep(list, value)
{
	list.push(value);
	if (list.length > 1000)
		list.splice(0, list.length - 1000);
}

export async function call(token, method, path, body)
{
	const init = {
		method,
		headers: { Authorization: `Bearer ${token}`, "Content-Type": "application/json" },
		cache: "no-store",
	};
	if (body !== undefined)
		init.body = JSON.stringify(body);
	const design = path === "/api/design";
	if (design) {
		stats.requests++;
		stats.inFlight++;
		stats.maxInFlight = Math.max(stats.maxInFlight, stats.inFlight);
	}
	const start = performance.now();
	try {
		const answer = await fetch(path, init);
		if (design)
			keep(stats.roundTrips, performance.now() - start);
		let parsed = null;
		try {
			parsed = await answer.json();
		} catch {
			parsed = null;
		}
		return { status: answer.status, body: parsed };
	} catch {
		return { status: 0, body: { error: "firtune does not answer: has it stopped?" } };
	} finally {
		if (design)
			stats.inFlight--;
	}
}

// The text to show for a failed answer.
export function failure(answer)
{
	if (answer.status === 401)
		return "access refused: open the address firtune printed, with its #token";
	const error = answer.body && typeof answer.body.error === "string" ? answer.body.error : "";
	if (answer.status === 0)
		return error;
	return error !== "" ? error : `the server answered ${answer.status}`;
}
